// The WMI collection run of one host: connection ladder, version query,
// event query, enumeration into 300-record buffers, last message time and
// host status.
#include "agent/collection/wmi_query.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <vector>

#include "agent/collection/event_matching.h"
#include "agent/collection/event_record.h"
#include "agent/collection/host_poll_queue.h"
#include "agent/hosts/host_cache.h"
#include "agent/server/protocol.h"
#include "agent/service/settings.h"
#include "agent/store/data_files.h"
#include "agent/store/event_store.h"
#include "common/log.h"
#include "platform/clock.h"

namespace {

namespace wmi = platform::wmi;
using wmi::HResult;

constexpr const char* kVersionQuery = "Select CurrentTimeZone, Version from Win32_OperatingSystem";
constexpr std::int32_t kQueryFlags = wmi::WBEM_FLAG_RETURN_IMMEDIATELY | wmi::WBEM_FLAG_FORWARD_ONLY;  // 48
constexpr int kFailureResult = static_cast<int>(wmi::E_FAIL_);

unsigned hex(HResult hr) { return static_cast<unsigned>(hr); }

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The agent's own address text is the comma-joined list of its IPv4
// addresses; a host is the agent's machine when its address is one of them
// (comparing with the whole list would miss every machine with two addresses).
bool isAgentAddress(const std::string& hostIp) {
    if (hostIp.empty()) return false;
    const std::string list = AgentIpText();
    if (equalsIgnoringCase(hostIp, list)) return true;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (equalsIgnoringCase(hostIp, list.substr(start, comma - start))) return true;
        start = comma + 1;
    }
    return false;
}

// COM is initialised on the collector thread for one run; every way out of
// the run ends it.
class ComScope {
public:
    HResult initialize() {
        HResult hr = wmi::initializeCom();
        active_ = wmi::succeeded(hr);
        return hr;
    }
    void end() {
        if (active_) wmi::uninitializeCom();
        active_ = false;
    }
    ~ComScope() { end(); }

private:
    bool active_ = false;
};

// What the run connects with.
struct Credentials {
    bool none = false;         // local host, or the host ".": the caller's own identity
    std::string userText;      // DOMAIN\user for ConnectServer
    std::string password;
    wmi::AuthIdentity identity;  // carried by the proxy blankets
};

Credentials credentialsFor(const HostSlot& host, bool local) {
    Credentials c;
    const std::string& domain = host.domain.empty() ? host.hostName : host.domain;
    c.identity.user = host.userName;
    c.identity.domain = domain;
    c.identity.password = host.password;
    c.userText = domain + "\\" + host.userName;
    // A user name that already names its domain ("CORP\admin") or is a
    // principal name ("admin@corp.example") is used as it is: prefixing the
    // domain again would give an account that does not exist.
    if (const std::size_t slash = host.userName.find('\\'); slash != std::string::npos) {
        c.userText = host.userName;
        c.identity.domain = host.userName.substr(0, slash);
        c.identity.user = host.userName.substr(slash + 1);
    } else if (host.userName.find('@') != std::string::npos) {
        c.userText = host.userName;
        c.identity.domain.clear();
    }
    c.password = host.password;
    if (local || host.hostName == ".") {
        c.none = true;
        c.userText.clear();
        c.password.clear();
        LogInfo("Setting User details to empty values");
    }
    return c;
}

wmi::ProxyBlanket blanketFor(const Credentials& credentials, std::uint32_t level) {
    wmi::ProxyBlanket b;
    b.authnService = wmi::RPC_C_AUTHN_WINNT_;
    b.authnLevel = level;
    b.impLevel = wmi::RPC_C_IMP_LEVEL_IMPERSONATE_;
    b.identity = credentials.none ? nullptr : &credentials.identity;
    return b;
}

// Call level first, packet level when that is refused.
HResult setEnumeratorBlanket(wmi::Enumerator& enumerator, const Credentials& credentials) {
    HResult hr = enumerator.setProxyBlanket(blanketFor(credentials, wmi::RPC_C_AUTHN_LEVEL_CALL_));
    if (wmi::failed(hr)) {
        LogInfo("\n \t Error while setting proxy blanket  1:%x\n", hex(hr));
        hr = enumerator.setProxyBlanket(blanketFor(credentials, wmi::RPC_C_AUTHN_LEVEL_PKT_));
        if (wmi::failed(hr)) LogInfo("\n \t Error while setting proxy blanket 2:%x\n", hex(hr));
    }
    return hr;
}

// The leading decimal number of a text (0 when there is none).
int leadingNumber(const std::string& text, std::size_t from) {
    if (from >= text.size()) return 0;
    long value = std::strtol(text.c_str() + from, nullptr, 10);
    if (value < -32768 || value > 32767) return 0;
    return static_cast<int>(value);
}

// Win32_OperatingSystem: version numbers and, for version 6, the time-zone
// difference. A failure leaves the version unknown; the run goes on.
void queryWindowsVersion(HostSlot& host, wmi::Services& services, const Credentials& credentials) {
    LogInfo("Query For Windows Version %s \n\n\n", kVersionQuery);
    wmi::EnumeratorPtr enumerator;
    HResult hr = services.execQuery("WQL", kVersionQuery, kQueryFlags, enumerator);
    LogInfo("\n Win version query result : %x", hex(hr));
    if (wmi::failed(hr) || !enumerator) {
        LogError("Query Fails, Error fetching win version %x ", hex(hr));
        return;
    }
    if (wmi::failed(setEnumeratorBlanket(*enumerator, credentials))) return;
    wmi::ObjectPtr os;
    hr = enumerator->next(wmi::WBEM_INFINITE, os);
    if (!os) return;
    wmi::Variant version, timeZone;
    os->get("Version", version);
    os->get("CurrentTimeZone", timeZone);
    const std::string text = version.type == wmi::Variant::Type::Text ? version.text : "";
    const int major = leadingNumber(text, 0);
    // The minor number follows the first point ("5.2.3790" -> 2, "10.0.17763" -> 0).
    const std::size_t point = text.find('.');
    const int minor = point == std::string::npos ? 0 : leadingNumber(text, point + 1);
    withHostSlot(host, [&](HostSlot& h) {
        h.majorVersion = static_cast<std::int16_t>(major);
        h.minorVersion = static_cast<std::int16_t>(minor);
        if (major == 6 && timeZone.type == wmi::Variant::Type::Integer)
            h.timeZoneDiff = static_cast<std::int32_t>(timeZone.integer * 60);
    });
}

// The type number of "Security", or -1 when the mapping cannot give one (the
// server's fallback would otherwise treat Application events as Security).
int securityTypeNumber() {
    std::string name = "Security";
    std::int32_t type = -1;
    if (!LookupFacility(name, type)) return -1;
    return type;
}

// Writes the kept records under the event data mutex and empties the buffer.
void writeBuffer(const HostSlot& host, std::vector<EventRecord>& buffer) {
    if (buffer.empty()) return;
    const RawLogHost rawHost{host.type.empty() ? "Windows" : host.type, host.hostId, host.hostName};
    {
        std::lock_guard<std::mutex> lock(eventDataMutex);
        storeEvents(buffer.data(), static_cast<int>(buffer.size()));
        appendRawLogs(rawHost, buffer.data(), static_cast<int>(buffer.size()));
    }
    buffer.clear();
}

void diagnosticToLog(const char* message) { LogError("%s", message); }

}  // namespace

std::int16_t hostStatusFromResult(HResult result) {
    struct Entry {
        std::uint32_t result;
        std::int16_t status;
    };
    static constexpr Entry kTable[] = {
        {0x80070005, 2},  {0x80041003, 2},  {0x80041001, 3},  {0x80041002, 4},  {0x80041004, 5},
        {0x80041005, 6},  {0x80041006, 7},  {0x80041007, 8},  {0x80041008, 9},  {0x80041009, 10},
        {0x8004100C, 11}, {0x8004100E, 12}, {0x8004100F, 13}, {0x80041017, 14}, {0x80041021, 16},
        {0x80041044, 17}, {0x80041045, 18}, {0x80041063, 19}, {0x80041064, 20}, {0x80041069, 21},
        {0x80041071, 22}, {0x800706BA, 23}};
    for (const Entry& e : kTable)
        if (static_cast<std::uint32_t>(result) == e.result) return e.status;
    return 15;
}

std::string queryStartTime(const HostSlot& host, std::int64_t now) {
    if (host.lastTimeUpdated != 0) return host.lastMessageTimeText;
    const std::int64_t last = static_cast<std::int64_t>(host.lastMessageTime / 1000);
    if (last == 0) return "";
    std::int64_t start = last;
    if (now - last > kMaxQueryAgeSeconds) start = now - kMaxQueryAgeSeconds;
    int offsetMinutes = 0;
    if (host.majorVersion == 6) {
        start -= host.timeZoneDiff;
    } else {
        // The offset in force at the start time itself: with the standard
        // offset alone a start in summer time would name an instant one hour
        // later and the events of that hour would never be asked for.
        offsetMinutes = platform::localUtcOffsetMinutes(start);
    }
    const std::tm local = platform::toLocalTime(start);
    char text[64];
    std::size_t n = std::strftime(text, sizeof text, "%Y%m%d%H%M%S.000000", &local);
    if (n == 0) return "";
    std::snprintf(text + n, sizeof text - n, offsetMinutes >= 0 ? "+%03d" : "-%03d",
                  offsetMinutes >= 0 ? offsetMinutes : -offsetMinutes);
    return text;
}

std::string eventQueryText(const std::string& startText) {
    if (startText.empty()) return "Select * from Win32_NTLogEvent";
    return "Select * from Win32_NTLogEvent where TimeGenerated > '" + startText + "'";
}

int collectHostEvents(HostSlot& host, CollectorSlot& collector) {
    AttributeTable attributes;
    initAttributeTable(attributes);
    const int securityType = securityTypeNumber();
    LogError("\n Log collection started for Host : %s ", host.hostName.c_str());
    if (host.collectionEnabled == 0) {
        LogError("\n Log collection is disabled for Host : %s ", host.hostName.c_str());
        return 0;
    }

    HResult hr = wmi::S_OK_;
    ComScope com;
    std::string runningLastTime;
    bool newestIsHostText = false;  // runningLastTime is an event's TimeWritten
    bool reachedEnumeration = false;
    bool setupFailed = false;  // COM security or the locator: no status for the host

    // The connection, the queries and the enumeration; a failure leaves
    // `hr` as the result that sets the host status.
    [&] {
        const bool local = isAgentAddress(host.ipAddress);
        std::string nameSpace;
        if (local) {
            nameSpace = "//./root/cimv2";
            LogInfo("\n Local Hosts : Name %s Agent Name %s", host.hostName.c_str(), AgentHostName().c_str());
        } else {
            nameSpace = "//" + host.hostName + "/root/cimv2";
        }
        LogInfo("\nName Space is %s", nameSpace.c_str());
        const Credentials credentials = credentialsFor(host, local);
        LogInfo("\nUser Name details %s", credentials.userText.c_str());
        LogInfo("\n Creating WBEM Service");

        hr = com.initialize();
        if (wmi::failed(hr)) {
            LogError("\n \t Unable to initialize COM \n");
            return;
        }
        hr = wmi::initializeSecurity(wmi::RPC_C_AUTHN_LEVEL_NONE_, wmi::RPC_C_IMP_LEVEL_IMPERSONATE_);
        if (wmi::failed(hr) && hr != wmi::RPC_E_TOO_LATE_) {
            LogError("\n \t Unable to set security level for COM %x \n", hex(hr));
            setupFailed = true;
            return;
        }
        wmi::LocatorPtr locator;
        hr = wmi::createLocator(locator);
        if (wmi::failed(hr) || !locator) {
            LogError("\n\n Unable to locate Wbem Service location \n\n");
            setupFailed = true;
            return;
        }

        LogInfo("\n \t CONNECT PARAMS: %s : %s \n", nameSpace.c_str(), credentials.userText.c_str());
        wmi::ServicesPtr services;
        hr = locator->connectServer(nameSpace, credentials.userText, credentials.password, "", 0, services);
        LogInfo("\n \t CONNECT 1 %x \n", hex(hr));
        if (hr == wmi::WBEM_E_LOCAL_CREDENTIALS || hr == wmi::E_ACCESSDENIED_) {
            hr = locator->connectServer(nameSpace, "", "", "", 0, services);
            LogInfo("\n \t CONNECT 2.1 %x \n", hex(hr));
        }
        if (hr == wmi::E_ACCESSDENIED_ || hr == wmi::WBEM_E_ACCESS_DENIED) {
            const std::string uncNameSpace = "\\\\" + host.hostName + "\\root\\cimv2";
            LogInfo("\n Connect 3 <-> %s", uncNameSpace.c_str());
            hr = locator->connectServer(uncNameSpace, credentials.userText, credentials.password, "", 0, services);
            LogInfo("\n \t CONNECT 3 %x \n", hex(hr));
        }
        if (wmi::failed(hr) || !services) {
            if (wmi::succeeded(hr)) hr = wmi::E_FAIL_;
            LogError("\n Connection Result for Host %s is %x", host.hostName.c_str(), hex(hr));
            LogInfo("\n Access Denied : invalid user name password");
            return;
        }

        if (credentials.none) LogInfo("\n Setting Proxy client to null ");
        hr = services->setProxyBlanket(blanketFor(credentials, wmi::RPC_C_AUTHN_LEVEL_CALL_));
        LogInfo("\n Proxy 1 %x \n", hex(hr));
        LogInfo("\n Error while setting proxy blanket %x\n", hex(hr));
        if (hr == wmi::E_ACCESSDENIED_) {
            LogError("\n Setting XP Proxy client 2");
            hr = services->setProxyBlanket(blanketFor(credentials, wmi::RPC_C_AUTHN_LEVEL_PKT_));
            LogInfo(local ? "\n Proxy 2 %x \n" : "\n Proxy 3 %x \n", hex(hr));
            if (wmi::failed(hr))
                LogError("\nQuery Fails In proxy 2, Code %x \n", hex(hr));
            else
                LogError("\nQuery Successfull In proxy 2 : %x \n", hex(hr));
        }
        if (wmi::failed(hr)) {
            LogError("Query Fails, Error fetching logs for host Code %x ", hex(hr));
            return;
        }

        if (host.majorVersion == -1) queryWindowsVersion(host, *services, credentials);

        LogInfo("\n Windows version %d, Minor Version %d, TZ Diff %d", host.majorVersion, host.minorVersion,
                host.timeZoneDiff);
        runningLastTime = queryStartTime(host, platform::nowSeconds());
        const std::string query = eventQueryText(runningLastTime);
        LogInfo("\n Query: %s", query.c_str());

        wmi::EnumeratorPtr enumerator;
        hr = services->execQuery("WQL", query, kQueryFlags, enumerator);
        if (hr == wmi::WBEM_E_OUT_OF_MEMORY) {
            LogInfo("WBEM not enough memory so setting  WBEM_FLAG_RETURN_IMMEDIATELY flag \n");
            hr = services->execQuery("WQL", query, kQueryFlags, enumerator);
        }
        if (wmi::failed(hr) || !enumerator) {
            if (wmi::succeeded(hr)) hr = wmi::E_FAIL_;
            LogError("Query Fails, Error fetching logs for host Code %x ", hex(hr));
            return;
        }
        LogInfo("\nQuery Successful, Got Enumeration !!");
        LogInfo("\n Setting Proxy for Enum Object!!");
        hr = setEnumeratorBlanket(*enumerator, credentials);
        if (wmi::failed(hr)) return;

        reachedEnumeration = true;
        withHostSlot(host, [](HostSlot& h) {
            h.collected = 1;
            if (h.status != 0) {
                LogInfo("\n Host Status changed to normal");
                h.status = 0;
            }
        });

        RecordRunValues run;
        // The newest TimeWritten is looked for among the host's own texts
        // only. The start time is written in the agent's UTC offset and the
        // host writes its times in its own: compared byte by byte, the events
        // of a host west of the agent would never pass the start text, the
        // last message time would stay where it was, and every later run
        // would collect the same events again.
        run.lastTimeText.clear();
        run.daylightSaving = platform::toLocalTime(platform::nowSeconds()).tm_isdst;
        run.securityTypeId = securityType;
        run.workerNumber = collector.workerNumber;
        run.lookupFacility = [](std::string& name, int& type) {
            std::int32_t number = 0;
            LookupFacility(name, number);
            type = number;
        };
        const RecordHost recordHost{host.hostId, host.majorVersion, host.minorVersion, host.timeZoneDiff};

        // 300 records of up to ~4.5 KB of message each: kept on the heap,
        // not on the collector's stack.
        std::vector<EventRecord> buffer;
        buffer.reserve(kEventBufferSize);
        int consecutiveTimeouts = 0;
        while (hr != wmi::WBEM_S_FALSE) {
            wmi::ObjectPtr object;
            hr = enumerator->next(kEnumerationTimeoutMillis, object);
            if (wmi::failed(hr)) {
                LogError("\n Enumeration Failed : Next Method call failed Error Code %x", hex(hr));
                break;
            }
            if (object) {
                consecutiveTimeouts = 0;
                EventRecord record;
                buildEventRecord(recordHost, std::move(object), record, attributes, run);
                if (applyFilters(host, record)) {
                    LogInfo("\n Eventlog filtered out.");
                    continue;
                }
                applyNotifications(host, record);
                buffer.push_back(std::move(record));
                LogInfo("\n end of log ");
                if (static_cast<int>(buffer.size()) >= kEventBufferSize) writeBuffer(host, buffer);
                continue;
            }
            if (hr == wmi::WBEM_S_TIMEDOUT) {
                if (consecutiveTimeouts++ > kMaxConsecutiveTimeouts) {
                    LogInfo("\n ICK WBEM_S_TIMEDOUT Code %x \n", hex(hr));
                    LogError("\n Timeout Count Exceeds \n");
                    break;
                }
            } else if (hr == wmi::WBEM_S_FALSE) {
                LogError("\n ICK WBEM_S_FALSE Code %x \n", hex(hr));
            } else {
                LogError("\n Get Object doesn't return any Wbem Object %d Code is %x", 0, hex(hr));
            }
        }
        writeBuffer(host, buffer);
        // Without a new event the start time stays the running text.
        if (run.lastTimeAdvanced) {
            newestIsHostText = true;
            runningLastTime = run.lastTimeText;
            withHostSlot(host, [&](HostSlot& h) { h.lastMessageTime = static_cast<double>(run.lastMessageMillis); });
        }
    }();

    com.end();

    // The next run queries from the newest TimeWritten this run saw.
    if (reachedEnumeration) {
        withHostSlot(host, [&](HostSlot& h) {
            // The events were asked for as newer than the host's text, so
            // the newest of them moves it on whatever offset either carries.
            if (newestIsHostText ? runningLastTime != h.lastMessageTimeText
                                 : runningLastTime > h.lastMessageTimeText) {
                LogInfo("\n Time is being Updated old time %s new one %s", h.lastMessageTimeText.c_str(),
                        runningLastTime.c_str());
                h.lastTimeUpdated = 1;
                h.lastMessageTimeText = runningLastTime;
                LogInfo("\n Time Updated");
            }
        });
    }

    // Security initialisation and locator creation end the run without a
    // status: nothing was asked of the host.
    if (setupFailed) return -1;

    LogInfo("\n Coming to Cleanup: %x", hex(hr));
    LogInfo("\n Coming to Cleanup 2: %x", hex(hr));
    withHostSlot(host, [&](HostSlot& h) {
        if (h.collected != 0) {
            h.status = 0;
            h.collected = 0;
        } else {
            h.status = hostStatusFromResult(hr);
        }
    });
    if (wmi::failed(hr)) return kFailureResult;
    LogInfo("\n EventLogs stored into DB");
    return 1;
}

void configureWmiHosts() {
    std::string root = GetAgentSetting("WmiHostsDir").value_or("");
    if (root.empty()) root = AgentInstallDir() + "wmi-hosts" + kPathSeparator;
    wmi::setHostsRoot(root);
    if (!AgentHostName().empty()) wmi::setLocalHostName(AgentHostName());
    wmi::setDiagnosticSink(diagnosticToLog);
    LogInfo("\n WMI hosts folder: %s", root.c_str());
}
