// The WMI collection run of one host: connection ladder, version query,
// event query, enumeration into 300-record buffers, last message time and
// host status.
#include "agent/collection/wmi_query.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "agent/collection/event_matching.h"
#include "agent/collection/host_run_stats.h"
#include "agent/collection/event_record.h"
#include "agent/collection/host_poll_queue.h"
#include "agent/hosts/host_cache.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
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
    ComScope() = default;
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    HResult initialize() {
        HResult hr = wmi::initializeCom();
        active_ = wmi::succeeded(hr);
        return hr;
    }
    ~ComScope() {
        if (active_) wmi::uninitializeCom();
    }

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
// The raw-log file takes the whole buffer or nothing; only then does the
// event store count it, so the aggregate never counts an event the raw log
// lacks. False when the buffer could not be written.
bool writeBuffer(const HostSlot& host, std::vector<EventRecord>& buffer) {
    if (buffer.empty()) return true;
    const RawLogHost rawHost{host.type.empty() ? "Windows" : host.type, host.hostId, host.hostName};
    bool written = false;
    {
        std::lock_guard<std::mutex> lock(eventDataMutex);
        written = appendRawLogs(rawHost, buffer.data(), static_cast<int>(buffer.size()));
        if (written) storeEvents(buffer.data(), static_cast<int>(buffer.size()));
    }
    buffer.clear();
    return written;
}

// What a run has taken, so that the next run can ask again from a second
// it has partly taken and skip what it already has.
//
// Events are known by "second\tLogfile\tRecordNumber", the second being the
// first 14 digits of TimeWritten as the host writes it. The host keeps the
// second the next query starts from (inclusive) and the events of that
// second and later that were taken: normally the newest second a run saw;
// after a buffer could not be written, the oldest second among the events
// that were not written, so they are collected again and nothing written is
// collected twice.
class TakenEvents {
public:
    explicit TakenEvents(HostSlot& host) {
        withHostSlot(host, [&](HostSlot& h) {
            if (h.lastTimeUpdated == 0) return;
            from_ = h.lastMessageTimeText.substr(0, 14);
            for (const std::string& key : h.lastSecondEvents) earlier_.insert(key);
        });
    }

    // The key of an event, "" when it has no readable TimeWritten.
    static std::string keyOf(const platform::wmi::Object& event) {
        wmi::Variant written, logFile, number;
        event.get("TimeWritten", written);
        if (written.type != wmi::Variant::Type::Text || written.text.size() < 14) return "";
        event.get("Logfile", logFile);
        event.get("RecordNumber", number);
        std::string key = written.text.substr(0, 14);
        key += '\t';
        if (logFile.type == wmi::Variant::Type::Text) key += logFile.text;
        key += '\t';
        key += std::to_string(number.type == wmi::Variant::Type::Integer ? number.integer : -1);
        return key;
    }

    // An event an earlier run took already.
    bool alreadyTaken(const std::string& key) const { return !key.empty() && earlier_.count(key) != 0; }

    // An event that is in the store now, or needs no place there (filtered out).
    void taken(std::string key, const std::string& timeText) {
        if (key.empty()) return;
        if (newestText_.empty() || key.compare(0, 14, newestText_, 0, 14) > 0) newestText_ = timeText;
        run_.push_back(std::move(key));
    }
    // An event that could not be written: the next run asks for it again.
    void notWritten(const std::string& key, const std::string& timeText) {
        if (key.empty()) return;
        if (oldestUnwrittenText_.empty() || key.compare(0, 14, oldestUnwrittenText_, 0, 14) < 0)
            oldestUnwrittenText_ = timeText;
    }
    bool anyNotWritten() const { return !oldestUnwrittenText_.empty(); }
    // The time text the next run starts from: the oldest unwritten event's,
    // else the newest taken one's ("" when the run took nothing new).
    const std::string& nextFromText() const { return anyNotWritten() ? oldestUnwrittenText_ : newestText_; }

    // Hands the events of the next start second and later to the host
    // (under its guard).
    void keepIn(HostSlot& h) const {
        const std::string second = nextFromText().substr(0, 14);
        std::vector<std::string> keep;
        auto add = [&](const std::string& key) {
            if (key.compare(0, 14, second) >= 0) keep.push_back(key);
        };
        for (const std::string& key : earlier_) add(key);
        for (const std::string& key : run_) add(key);
        h.lastSecondEvents = std::move(keep);
    }

private:
    std::string from_;
    std::unordered_set<std::string> earlier_;
    std::vector<std::string> run_;
    std::string newestText_;
    std::string oldestUnwrittenText_;
};

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

std::string secondBefore(const std::string& timeText) {
    int fields[6] = {};
    static constexpr int kFrom[6] = {0, 4, 6, 8, 10, 12};
    static constexpr int kWidth[6] = {4, 2, 2, 2, 2, 2};
    if (timeText.size() < 14) return timeText;
    for (int i = 0; i < 6; ++i)
        for (int k = 0; k < kWidth[i]; ++k) {
            const char c = timeText[static_cast<std::size_t>(kFrom[i] + k)];
            if (c < '0' || c > '9') return timeText;
            fields[i] = fields[i] * 10 + (c - '0');
        }
    std::tm tm{};
    tm.tm_year = fields[0] - 1900;
    tm.tm_mon = fields[1] - 1;
    tm.tm_mday = fields[2];
    tm.tm_hour = fields[3];
    tm.tm_min = fields[4];
    tm.tm_sec = fields[5] - 1;
    // As a UTC time only to step back over minute, hour, day and year ends;
    // the text keeps its own offset.
    const std::tm before = platform::toUtcTime(platform::fromUtcTime(tm));
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", before.tm_year + 1900, before.tm_mon + 1,
                  before.tm_mday, before.tm_hour, before.tm_min, before.tm_sec);
    return text + timeText.substr(14);
}

std::string queryStartTime(const HostSlot& host, std::int64_t now) {
    // From the second of the newest event collected, inclusive: events
    // written in that second after the run are collected too (the ones
    // already taken are skipped by their record numbers).
    if (host.lastTimeUpdated != 0)
        return host.lastTimeTextIsQueryStart ? host.lastMessageTimeText : secondBefore(host.lastMessageTimeText);
    const std::int64_t last = static_cast<std::int64_t>(host.lastMessageTime / 1000);
    if (last == 0) return "";
    std::int64_t start = last;
    if (now - last > kMaxQueryAgeSeconds) start = now - kMaxQueryAgeSeconds;
    // The last message time is a true instant, so the text names that same
    // instant: in the host's own zone when it is known (version 6), else in
    // the agent's, with the offset in force at the start time itself (with
    // the standard offset alone a start in summer time would name an instant
    // one hour later and the events of that hour would never be asked for).
    int offsetMinutes = 0;
    std::tm local{};
    if (host.majorVersion == 6) {
        offsetMinutes = host.timeZoneDiff / 60;
        local = platform::toUtcTime(start + host.timeZoneDiff);
    } else {
        offsetMinutes = platform::localUtcOffsetMinutes(start);
        local = platform::toLocalTime(start);
    }
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

namespace {

// The COM objects of one run. Members are released in the reverse order of
// their making and COM is ended last, whichever step the run stops at.
struct WmiSession {
    ComScope com;
    wmi::LocatorPtr locator;
    wmi::ServicesPtr services;
    wmi::EnumeratorPtr enumerator;
};

// What the steps of a run hand on to its end.
struct RunOutcome {
    HResult hr = wmi::S_OK_;        // the last COM result: sets the host status
    std::string runningLastTime;    // the query start, then the newest time taken
    bool newestIsHostText = false;  // runningLastTime is an event's TimeWritten
    bool reachedEnumeration = false;
    bool setupFailed = false;       // COM security or the locator: no status for the host
    HostRunReport report;           // what the run read, for the status file
};

// Notes the log and record number of an event key ("time\tlog\tnumber").
void noteRecordNumber(const std::string& key, HostRunReport& report) {
    const std::size_t first = key.find('\t');
    const std::size_t last = key.rfind('\t');
    if (first == std::string::npos || last == first) return;
    const std::int64_t number = std::strtoll(key.c_str() + last + 1, nullptr, 10);
    if (number > 0) report.recordNumbers[key.substr(first + 1, last - first - 1)].push_back(number);
}

// Connect step: COM, its security, the locator, the connection ladder and
// the proxy blanket. False with `out.hr` set when the host cannot be asked.
bool connectToHost(const HostSlot& host, WmiSession& session, Credentials& credentials, RunOutcome& out) {
    const bool local = isAgentAddress(host.ipAddress);
    std::string nameSpace;
    if (local) {
        nameSpace = "//./root/cimv2";
        LogInfo("\n Local Hosts : Name %s Agent Name %s", host.hostName.c_str(), AgentHostName().c_str());
    } else {
        nameSpace = "//" + host.hostName + "/root/cimv2";
    }
    LogInfo("\nName Space is %s", nameSpace.c_str());
    credentials = credentialsFor(host, local);
    LogInfo("\nUser Name details %s", credentials.userText.c_str());
    LogInfo("\n Creating WBEM Service");

    HResult& hr = out.hr;
    hr = session.com.initialize();
    if (wmi::failed(hr)) {
        LogError("\n \t Unable to initialize COM \n");
        return false;
    }
    hr = wmi::initializeSecurity(wmi::RPC_C_AUTHN_LEVEL_NONE_, wmi::RPC_C_IMP_LEVEL_IMPERSONATE_);
    if (wmi::failed(hr) && hr != wmi::RPC_E_TOO_LATE_) {
        LogError("\n \t Unable to set security level for COM %x \n", hex(hr));
        out.setupFailed = true;
        return false;
    }
    hr = wmi::createLocator(session.locator);
    if (wmi::failed(hr) || !session.locator) {
        LogError("\n\n Unable to locate Wbem Service location \n\n");
        out.setupFailed = true;
        return false;
    }

    wmi::Locator& locator = *session.locator;
    wmi::ServicesPtr& services = session.services;
    LogInfo("\n \t CONNECT PARAMS: %s : %s \n", nameSpace.c_str(), credentials.userText.c_str());
    hr = locator.connectServer(nameSpace, credentials.userText, credentials.password, "", 0, services);
    LogInfo("\n \t CONNECT 1 %x \n", hex(hr));
    if (hr == wmi::WBEM_E_LOCAL_CREDENTIALS || hr == wmi::E_ACCESSDENIED_) {
        hr = locator.connectServer(nameSpace, "", "", "", 0, services);
        LogInfo("\n \t CONNECT 2.1 %x \n", hex(hr));
    }
    if (hr == wmi::E_ACCESSDENIED_ || hr == wmi::WBEM_E_ACCESS_DENIED) {
        const std::string uncNameSpace = "\\\\" + host.hostName + "\\root\\cimv2";
        LogInfo("\n Connect 3 <-> %s", uncNameSpace.c_str());
        hr = locator.connectServer(uncNameSpace, credentials.userText, credentials.password, "", 0, services);
        LogInfo("\n \t CONNECT 3 %x \n", hex(hr));
    }
    if (wmi::failed(hr) || !services) {
        if (wmi::succeeded(hr)) hr = wmi::E_FAIL_;
        LogError("\n Connection Result for Host %s is %x", host.hostName.c_str(), hex(hr));
        LogInfo("\n Access Denied : invalid user name password");
        return false;
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
        return false;
    }
    return true;
}

// Query step: the host's version (once), the event query from the start
// time and the enumerator's blanket. False with `out.hr` set on a failure.
bool queryHostEvents(HostSlot& host, WmiSession& session, const Credentials& credentials, RunOutcome& out) {
    wmi::Services& services = *session.services;
    if (host.majorVersion == -1) queryWindowsVersion(host, services, credentials);

    LogInfo("\n Windows version %d, Minor Version %d, TZ Diff %d", host.majorVersion, host.minorVersion,
            host.timeZoneDiff);
    out.runningLastTime = queryStartTime(host, platform::nowSeconds());
    const std::string query = eventQueryText(out.runningLastTime);
    LogInfo("\n Query: %s", query.c_str());

    HResult& hr = out.hr;
    hr = services.execQuery("WQL", query, kQueryFlags, session.enumerator);
    if (hr == wmi::WBEM_E_OUT_OF_MEMORY) {
        LogInfo("WBEM not enough memory so setting  WBEM_FLAG_RETURN_IMMEDIATELY flag \n");
        hr = services.execQuery("WQL", query, kQueryFlags, session.enumerator);
    }
    if (wmi::failed(hr) || !session.enumerator) {
        if (wmi::succeeded(hr)) hr = wmi::E_FAIL_;
        LogError("Query Fails, Error fetching logs for host Code %x ", hex(hr));
        return false;
    }
    LogInfo("\nQuery Successful, Got Enumeration !!");
    LogInfo("\n Setting Proxy for Enum Object!!");
    hr = setEnumeratorBlanket(*session.enumerator, credentials);
    return !wmi::failed(hr);
}

// The values every record of a run is built with.
RecordRunValues runValuesFor(const CollectorSlot& collector, int securityType) {
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
    return run;
}

// Drain step: every event of the enumeration is built, filtered, matched
// and written in buffers of kEventBufferSize; then the host's last message
// time moves on to what was taken (or stays before what could not be
// written). `out.hr` ends as the enumeration's last result.
void drainHostEvents(HostSlot& host, const CollectorSlot& collector, wmi::Enumerator& enumerator,
                     AttributeTable& attributes, int securityType, RunOutcome& out) {
    out.reachedEnumeration = true;
    withHostSlot(host, [](HostSlot& h) {
        h.collected = 1;
        if (h.status != 0) {
            LogInfo("\n Host Status changed to normal");
            h.status = 0;
        }
    });

    TakenEvents taken(host);
    RecordRunValues run = runValuesFor(collector, securityType);
    const RecordHost recordHost{host.hostId, host.majorVersion, host.minorVersion, host.timeZoneDiff};

    // 300 records of up to ~4.5 KB of message each: kept on the heap,
    // not on the collector's stack.
    std::vector<EventRecord> buffer;
    buffer.reserve(kEventBufferSize);
    // Keys and time texts of the records in the buffer, in its order.
    std::vector<std::pair<std::string, std::string>> bufferKeys;
    bool writeFailed = false;
    // Writes the buffer; after a failure nothing more is written in this
    // run, and every record not written is noted for the next run.
    auto flush = [&] {
        const bool ok = !writeFailed && writeBuffer(host, buffer);
        if (!ok) {
            writeFailed = true;
            buffer.clear();
        }
        if (ok) out.report.collected += bufferKeys.size();
        for (auto& [key, text] : bufferKeys) {
            if (ok) taken.taken(std::move(key), text);
            else taken.notWritten(key, text);
        }
        bufferKeys.clear();
    };
    HResult& hr = out.hr;
    int consecutiveTimeouts = 0;
    while (hr != wmi::WBEM_S_FALSE) {
        wmi::ObjectPtr object;
        hr = enumerator.next(kEnumerationTimeoutMillis, object);
        if (wmi::failed(hr)) {
            LogError("\n Enumeration Failed : Next Method call failed Error Code %x", hex(hr));
            break;
        }
        if (object) {
            consecutiveTimeouts = 0;
            std::string key = TakenEvents::keyOf(*object);
            noteRecordNumber(key, out.report);
            if (taken.alreadyTaken(key)) continue;
            wmi::Variant written;
            object->get("TimeWritten", written);
            EventRecord record;
            buildEventRecord(recordHost, std::move(object), record, attributes, run);
            out.report.newestEventTime = std::max<std::int64_t>(out.report.newestEventTime, record.eventTime);
            if (applyFilters(host, record)) {
                ++out.report.filtered;
                LogInfo("\n Eventlog filtered out.");
                taken.taken(std::move(key), written.text);
                continue;
            }
            applyNotifications(host, record);
            buffer.push_back(std::move(record));
            bufferKeys.emplace_back(std::move(key), std::move(written.text));
            LogInfo("\n end of log ");
            if (static_cast<int>(buffer.size()) >= kEventBufferSize) flush();
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
    flush();
    out.report.readToEnd = hr == wmi::WBEM_S_FALSE && !writeFailed;
    if (taken.anyNotWritten()) {
        // Events that could not be written are asked for again from the
        // second of the oldest of them; the last message time stays before it.
        out.newestIsHostText = true;
        out.runningLastTime = taken.nextFromText();
        EventRecord oldest;
        const bool known = parseWmiTime(out.runningLastTime, run.daylightSaving, host.timeZoneDiff, oldest);
        withHostSlot(host, [&](HostSlot& h) {
            if (known) h.lastMessageTime = (static_cast<double>(oldest.eventTime) - 1) * 1000;
            taken.keepIn(h);
        });
    } else if (run.lastTimeAdvanced) {
        // Without a new event the start time stays the running text.
        out.newestIsHostText = true;
        out.runningLastTime = run.lastTimeText;
        withHostSlot(host, [&](HostSlot& h) {
            h.lastMessageTime = static_cast<double>(run.lastMessageMillis);
            taken.keepIn(h);
        });
    }
}

// End of a run, once COM is released: the next run's start text and the
// host status. Gives the run's result.
int finishRun(HostSlot& host, const RunOutcome& out) {
    // The next run queries from the newest TimeWritten this run saw.
    if (out.reachedEnumeration) {
        withHostSlot(host, [&](HostSlot& h) {
            // The events were asked for as newer than the host's text, so
            // the newest of them moves it on whatever offset either carries.
            if (out.newestIsHostText ? out.runningLastTime != h.lastMessageTimeText
                                     : out.runningLastTime > h.lastMessageTimeText) {
                LogInfo("\n Time is being Updated old time %s new one %s", h.lastMessageTimeText.c_str(),
                        out.runningLastTime.c_str());
                h.lastTimeUpdated = 1;
                h.lastMessageTimeText = out.runningLastTime;
                h.lastTimeTextIsQueryStart = !out.newestIsHostText;
                LogInfo("\n Time Updated");
            } else if (out.newestIsHostText) {
                h.lastTimeTextIsQueryStart = false;
            }
        });
    }

    // Security initialisation and locator creation end the run without a
    // status: nothing was asked of the host.
    if (out.setupFailed) return -1;

    LogInfo("\n Coming to Cleanup: %x", hex(out.hr));
    LogInfo("\n Coming to Cleanup 2: %x", hex(out.hr));
    withHostSlot(host, [&](HostSlot& h) {
        if (h.collected != 0) {
            h.status = 0;
            h.collected = 0;
        } else {
            h.status = hostStatusFromResult(out.hr);
        }
    });
    if (wmi::failed(out.hr)) return kFailureResult;
    LogInfo("\n EventLogs stored into DB");
    return 1;
}

}  // namespace

int collectHostEvents(HostSlot& host, CollectorSlot& collector) {
    AttributeTable attributes;
    initAttributeTable(attributes);
    const int securityType = securityTypeNumber();
    LogError("\n Log collection started for Host : %s ", host.hostName.c_str());
    if (host.collectionEnabled == 0) {
        LogError("\n Log collection is disabled for Host : %s ", host.hostName.c_str());
        return 0;
    }

    RunOutcome outcome;
    const int slot = hostSlotIndex(host);
    outcome.report.start = platform::nowSeconds();
    noteHostRunStarted(slot, host.hostId, outcome.report.start);
    {
        WmiSession session;
        Credentials credentials;
        if (connectToHost(host, session, credentials, outcome) &&
            queryHostEvents(host, session, credentials, outcome))
            drainHostEvents(host, collector, *session.enumerator, attributes, securityType, outcome);
    }
    const int result = finishRun(host, outcome);
    outcome.report.result = static_cast<std::uint32_t>(outcome.hr);
    outcome.report.failed = result != 1;
    noteHostRunEnded(slot, host.hostId, outcome.report, platform::nowSeconds());
    return result;
}

void configureWmiHosts() {
    std::string root = GetAgentSetting("WmiHostsDir").value_or("");
    if (root.empty()) root = AgentInstallDir() + "wmi-hosts" + kPathSeparator;
    wmi::setHostsRoot(root);
    if (!AgentHostName().empty()) wmi::setLocalHostName(AgentHostName());
    wmi::setDiagnosticSink(diagnosticToLog);
    LogInfo("\n WMI hosts folder: %s", root.c_str());
}
