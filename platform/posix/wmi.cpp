// WMI on POSIX: the simulated Windows hosts.
//
// ConnectServer finds the host's folder under the hosts root and reads its
// host.xml; ExecQuery parses the small WQL subset the agent sends and lists
// the host's log files; the enumerator opens them one after the other and
// turns their events into Win32_NTLogEvent objects as they are asked for, so
// a big log is never held in memory at once.
//
// host.xml:
//   <host version="10.0.17763" currentTimeZone="60">
//     <account user="CORP\admin" password="secret"/>    absent: any credentials
//     <fault step="connect" hresult="0x80070005" count="1"/>
//     <fault step="next" hresult="0x40004" count="3" after="0"/>
//     <delay ms="700"/>                                  time each object takes
//   </host>
// Steps: connect, blanket (services and enumerators), query (the event and
// file queries), version (the Win32_OperatingSystem query), next. Without
// count a fault answers every call; with it, the first `count` calls (for
// next: of each enumerator, starting after `after` objects). Faults of the
// other steps are counted per host over the process, from the time host.xml
// was last changed, so a ladder of retries can be reproduced.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/clock.h"
#include "platform/posix/wmi_internal.h"

namespace platform::wmi {

namespace fs = std::filesystem;
using namespace sim;

namespace {

// ------------------------------------------------------------------ process state

std::mutex g_settingsMutex;
std::string g_hostsRoot = "../wmi-hosts/";
std::string g_localName;  // empty: the machine's own name
std::atomic<bool> g_securityInitialized{false};
thread_local int t_comInitCount = 0;

std::string localHostName() {
    {
        std::lock_guard<std::mutex> lock(g_settingsMutex);
        if (!g_localName.empty()) return g_localName;
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

std::string rootFolder() {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    return g_hostsRoot;
}

// ------------------------------------------------------------------ host.xml

enum class Step { Connect, Blanket, Query, Version, Next };

struct Fault {
    Step step;
    HResult result;
    int count;  // -1: every call
    int after;  // next: objects delivered before the fault starts
    int index;  // position in host.xml, part of its counter's key
};

struct HostConfig {
    std::string folder;
    bool local = false;
    std::string version = "10.0.17763";
    int currentTimeZone = 0;
    bool hasAccount = false;
    std::string user;
    std::string password;
    std::int64_t delayMillis = 0;
    std::vector<Fault> faults;
    std::string signature;  // folder and host.xml's change time: keys the fault counters
};

std::optional<Step> stepNamed(const std::string& name) {
    if (name == "connect") return Step::Connect;
    if (name == "blanket") return Step::Blanket;
    if (name == "query") return Step::Query;
    if (name == "version") return Step::Version;
    if (name == "next") return Step::Next;
    return std::nullopt;
}

std::string propText(const xmlNode* n, const char* name, bool& present) {
    xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
    present = v != nullptr;
    std::string out = v ? reinterpret_cast<const char*>(v) : "";
    xmlFree(v);
    return out;
}

bool parseInteger(const std::string& text, long long& value, int base = 0) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, base);
    return errno == 0 && end && *end == '\0';
}

bool parseHResult(const std::string& text, HResult& out) {
    long long v = 0;
    if (!parseInteger(text, v) || v < INT32_MIN || v > 0xFFFFFFFFLL) return false;
    out = static_cast<HResult>(static_cast<std::uint32_t>(v));
    return true;
}

// The attributes each element of host.xml may have.
std::string unknownAttribute(const xmlNode* n, const std::string& element) {
    static const std::map<std::string, std::vector<std::string>> allowed = {
        {"host", {"version", "currentTimeZone"}},
        {"account", {"user", "password"}},
        {"fault", {"step", "hresult", "count", "after"}},
        {"delay", {"ms"}},
    };
    const auto it = allowed.find(element);
    if (it == allowed.end()) return "element <" + element + "> is unknown";
    for (const xmlAttr* a = n->properties; a; a = a->next) {
        const std::string name = reinterpret_cast<const char*>(a->name);
        if (std::find(it->second.begin(), it->second.end(), name) == it->second.end())
            return "attribute " + name + " of <" + element + "> is unknown";
    }
    return "";
}

// Reads host.xml of a host folder. A missing file leaves the defaults (the
// sample logs can be dropped into a folder as they are); a malformed one is
// reported and fails the connection.
bool loadHostConfig(HostConfig& config) {
    const std::string path = config.folder + "/host.xml";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        report("\n WMI host folder %s has no host.xml; defaults are used (any account, version %s)",
               config.folder.c_str(), config.version.c_str());
        config.signature = config.folder + "|none";
        return true;
    }
    config.signature = config.folder + "|" + std::to_string(st.st_mtim.tv_sec) + "." +
                       std::to_string(st.st_mtim.tv_nsec) + "|" + std::to_string(st.st_size);
    // Parsed from memory: a file read by libxml2 itself is decompressed when it
    // looks like gzip or xz, and a few bytes of such a header can ask for
    // tens of megabytes.
    std::string text;
    {
        std::ifstream in(path, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    xmlDocPtr doc = text.size() > static_cast<std::size_t>(INT32_MAX)
                        ? nullptr
                        : xmlReadMemory(text.data(), static_cast<int>(text.size()), path.c_str(), nullptr,
                                        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) {
        const xmlError* e = xmlGetLastError();
        report("\n WMI host file %s is not well-formed XML (line %d): %s", path.c_str(),
               e ? e->line : 0, e && e->message ? e->message : "unreadable");
        return false;
    }
    bool ok = true;
    const xmlNode* root = xmlDocGetRootElement(doc);
    auto fail = [&](const std::string& what) {
        report("\n WMI host file %s: %s", path.c_str(), what.c_str());
        ok = false;
    };
    if (!root || std::strcmp(reinterpret_cast<const char*>(root->name), "host") != 0) {
        fail("the root element is not <host>");
    } else {
        bool present = false;
        std::string v = propText(root, "version", present);
        if (present) config.version = v;
        v = propText(root, "currentTimeZone", present);
        long long number = 0;
        if (present) {
            if (parseInteger(v, number, 10) && number >= -1440 && number <= 1440)
                config.currentTimeZone = static_cast<int>(number);
            else
                fail("currentTimeZone \"" + v + "\" is not a number of minutes");
        }
        int index = 0;
        for (const xmlNode* n = root->children; n && ok; n = n->next) {
            if (n->type != XML_ELEMENT_NODE) continue;
            const std::string name = reinterpret_cast<const char*>(n->name);
            // A misspelt element or attribute would silently change what the
            // host does (a fault without its count answers every call), so
            // it makes the file malformed.
            const std::string unknown = unknownAttribute(n, name);
            if (!unknown.empty()) {
                fail(unknown);
                break;
            }
            if (name == "account") {
                config.hasAccount = true;
                config.user = propText(n, "user", present);
                config.password = propText(n, "password", present);
            } else if (name == "delay") {
                v = propText(n, "ms", present);
                if (parseInteger(v, number, 10) && number >= 0 && number <= 3600000)
                    config.delayMillis = number;
                else
                    fail("delay ms \"" + v + "\" is not a number of milliseconds");
            } else if (name == "fault") {
                Fault f{Step::Connect, 0, -1, 0, index++};
                const std::string stepText = propText(n, "step", present);
                const auto step = stepNamed(stepText);
                if (!step) {
                    fail("fault step \"" + stepText + "\" is unknown");
                    break;
                }
                f.step = *step;
                v = propText(n, "hresult", present);
                if (!parseHResult(v, f.result)) {
                    fail("fault hresult \"" + v + "\" is not a number");
                    break;
                }
                // count and after: optional counts of calls and of objects.
                auto readCount = [&](const char* attribute, int& out) {
                    v = propText(n, attribute, present);
                    if (!present) return true;
                    if (!parseInteger(v, number, 10) || number < 0 || number > INT32_MAX) {
                        fail(std::string("fault ") + attribute + " \"" + v + "\" is not a count");
                        return false;
                    }
                    out = static_cast<int>(number);
                    return true;
                };
                if (!readCount("count", f.count) || !readCount("after", f.after)) break;
                config.faults.push_back(f);
            }
        }
    }
    if (ok && root) {
        const std::string unknown = unknownAttribute(root, "host");
        if (!unknown.empty()) fail(unknown);
    }
    xmlFreeDoc(doc);
    return ok;
}

// Counters of the faults with a count, per host.xml version.
std::mutex g_faultMutex;
std::map<std::string, int> g_faultUses;

// The result an injected fault gives to this call of `step`, or nothing.
std::optional<HResult> injectedFault(const HostConfig& config, Step step) {
    for (const Fault& f : config.faults) {
        if (f.step != step) continue;
        if (f.count < 0) return f.result;
        std::lock_guard<std::mutex> lock(g_faultMutex);
        int& used = g_faultUses[config.signature + "|" + std::to_string(f.index)];
        if (used < f.count) {
            ++used;
            return f.result;
        }
    }
    return std::nullopt;
}

// ------------------------------------------------------------------ WQL

enum class QueryKind { Events, Version, DataFile, Directory };

struct Query {
    QueryKind kind = QueryKind::Events;
    bool timeCondition = false;
    bool orEqual = false;
    std::int64_t afterMicros = 0;
    std::string name;  // file queries: the Windows path, backslashes single
};

// Splits WQL into words, operators and quoted literals ('...', with doubled
// backslashes as the escape of a backslash). Fails on an unterminated literal.
bool tokenize(const std::string& text, std::vector<std::string>& tokens, std::vector<bool>& literal) {
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '\'' || c == '"') {
            std::string value;
            std::size_t j = i + 1;
            bool closed = false;
            while (j < text.size()) {
                if (text[j] == '\\' && j + 1 < text.size()) {
                    value += text[j + 1];
                    j += 2;
                } else if (text[j] == c) {
                    closed = true;
                    ++j;
                    break;
                } else {
                    value += text[j++];
                }
            }
            if (!closed) return false;
            tokens.push_back(value);
            literal.push_back(true);
            i = j;
        } else if (c == ',' || c == '*' || c == '=') {
            tokens.emplace_back(1, c);
            literal.push_back(false);
            ++i;
        } else if (c == '>' || c == '<') {
            std::string op(1, c);
            if (i + 1 < text.size() && text[i + 1] == '=') op += '=';
            tokens.push_back(op);
            literal.push_back(false);
            i += op.size();
        } else {
            std::size_t j = i;
            // A word ends at a blank or a delimiter. (strchr would also find a
            // zero byte, at the delimiters' end, and the word would never grow.)
            static constexpr std::string_view kDelimiters = ",*=<>'\"";
            while (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j])) &&
                   kDelimiters.find(text[j]) == std::string_view::npos)
                ++j;
            if (j == i) return false;  // a byte that is neither: no WQL
            tokens.push_back(text.substr(i, j - i));
            literal.push_back(false);
            i = j;
        }
    }
    return true;
}

bool parseQuery(const std::string& text, Query& q) {
    std::vector<std::string> t;
    std::vector<bool> lit;
    if (!tokenize(text, t, lit)) return false;
    auto word = [&](std::size_t i, const char* w) { return i < t.size() && !lit[i] && equalsNoCase(t[i], w); };
    if (!word(0, "select")) return false;
    std::size_t i = 1;
    std::vector<std::string> columns;
    while (i < t.size() && !word(i, "from")) {
        if (t[i] != ",") columns.push_back(t[i]);
        ++i;
    }
    if (!word(i, "from") || i + 1 >= t.size() || columns.empty()) return false;
    const std::string cls = t[i + 1];
    i += 2;
    const bool star = columns.size() == 1 && columns[0] == "*";
    if (equalsNoCase(cls, "Win32_OperatingSystem")) {
        q.kind = QueryKind::Version;
        return i == t.size();
    }
    if (equalsNoCase(cls, "Win32_NTLogEvent")) {
        q.kind = QueryKind::Events;
        if (!star) return false;
        if (i == t.size()) return true;
        // where TimeGenerated > 'dmtf'
        if (!word(i, "where") || i + 4 != t.size()) return false;
        if (!word(i + 1, "TimeGenerated") && !word(i + 1, "TimeWritten")) return false;
        if (t[i + 2] != ">" && t[i + 2] != ">=") return false;
        if (!lit[i + 3] || !parseDmtf(t[i + 3], q.afterMicros)) return false;
        q.timeCondition = true;
        q.orEqual = t[i + 2] == ">=";
        return true;
    }
    if (equalsNoCase(cls, "CIM_DataFile") || equalsNoCase(cls, "CIM_Directory")) {
        q.kind = equalsNoCase(cls, "CIM_DataFile") ? QueryKind::DataFile : QueryKind::Directory;
        if (!word(i, "where") || i + 4 != t.size() || !word(i + 1, "Name") || t[i + 2] != "=" ||
            !lit[i + 3])
            return false;
        q.name = t[i + 3];
        return true;
    }
    return false;
}

// ------------------------------------------------------------------ enumerators

// The host's log files in name order (byte order of the names).
std::vector<std::string> logFiles(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        const std::string ext = toLower(p.extension().string());
        if ((ext == ".xml" || ext == ".evtx") && toLower(p.filename().string()) != "host.xml" &&
            it->is_regular_file(ec))
            files.push_back(p.filename().string());
    }
    std::sort(files.begin(), files.end());
    if (!ec) forgetLogsExcept(folder, files);
    return files;
}

class SimEnumerator : public Enumerator {
public:
    SimEnumerator(HostConfig config, std::vector<ObjectPtr> objects)
        : config_(std::move(config)), fixed_(std::move(objects)) {
        readyAt_ = nowMillis() + config_.delayMillis;
    }
    SimEnumerator(HostConfig config, Query query, std::vector<std::string> files)
        : config_(std::move(config)), query_(query), files_(std::move(files)), events_(true) {
        readyAt_ = nowMillis() + config_.delayMillis;
    }

    HResult setProxyBlanket(const ProxyBlanket& blanket) override;

    HResult next(std::int32_t timeoutMillis, ObjectPtr& out) override {
        out.reset();
        if (const auto fault = nextFault()) return *fault;
        if (config_.delayMillis > 0) {
            const std::int64_t now = nowMillis();
            if (now < readyAt_) {
                if (timeoutMillis >= 0 && readyAt_ - now > timeoutMillis) {
                    sleepMillis(timeoutMillis);
                    return WBEM_S_TIMEDOUT;
                }
                sleepMillis(readyAt_ - now);
            }
        }
        if (!produce(out)) return WBEM_S_FALSE;
        ++delivered_;
        readyAt_ = nowMillis() + config_.delayMillis;
        return WBEM_S_NO_ERROR;
    }

private:
    std::optional<HResult> nextFault() {
        for (std::size_t k = 0; k < config_.faults.size(); ++k) {
            const Fault& f = config_.faults[k];
            if (f.step != Step::Next || delivered_ < f.after) continue;
            if (f.count < 0) return f.result;
            if (nextFaultUses_.size() <= k) nextFaultUses_.resize(k + 1, 0);
            if (nextFaultUses_[k] < f.count) {
                ++nextFaultUses_[k];
                return f.result;
            }
        }
        return std::nullopt;
    }

    bool produce(ObjectPtr& out) {
        if (!events_) {
            if (fixedPos_ >= fixed_.size()) return false;
            out = std::move(fixed_[fixedPos_++]);
            return true;
        }
        EventEntry entry;
        for (;;) {
            if (!read_.source) {
                if (filePos_ >= files_.size()) return false;
                const std::string path = config_.folder + "/" + files_[filePos_++];
                const bool evtx = toLower(fs::path(path).extension().string()) == ".evtx";
                read_ = openLogForQuery(path, evtx,
                                        {query_.timeCondition, query_.orEqual, query_.afterMicros});
                continue;
            }
            if (!read_.source->next(entry)) {
                finishLogRead(read_);
                continue;
            }
            noteLogEvent(read_, entry);
            if (query_.timeCondition) {
                if (!entry.hasTime) continue;
                const std::int64_t micros = entry.timeSeconds * 1000000;
                if (query_.orEqual ? micros < query_.afterMicros : micros <= query_.afterMicros)
                    continue;
            }
            out = makeEventObject(std::move(entry), config_.currentTimeZone);
            return true;
        }
    }

    HostConfig config_;
    Query query_;
    std::vector<ObjectPtr> fixed_;
    std::size_t fixedPos_ = 0;
    std::vector<std::string> files_;
    std::size_t filePos_ = 0;
    LogRead read_;  // the file being read
    bool events_ = false;
    int delivered_ = 0;
    std::vector<int> nextFaultUses_;
    std::int64_t readyAt_ = 0;
};

// Checks a blanket's identity against the host's account.
HResult blanketResult(const HostConfig& config, const ProxyBlanket& blanket) {
    if (const auto fault = injectedFault(config, Step::Blanket)) return *fault;
    if (blanket.authnLevel > 6 || blanket.impLevel > 4) return E_INVALIDARG_;
    if (blanket.identity && config.hasAccount && !config.local) {
        const std::string user = blanket.identity->domain.empty()
                                     ? blanket.identity->user
                                     : blanket.identity->domain + "\\" + blanket.identity->user;
        if (!equalsNoCase(user, config.user) || blanket.identity->password != config.password)
            return E_ACCESSDENIED_;
    }
    return S_OK_;
}

HResult SimEnumerator::setProxyBlanket(const ProxyBlanket& blanket) {
    return blanketResult(config_, blanket);
}

// ------------------------------------------------------------------ services and locator

class SimServices : public Services {
public:
    explicit SimServices(HostConfig config) : config_(std::move(config)) {}

    HResult setProxyBlanket(const ProxyBlanket& blanket) override {
        return blanketResult(config_, blanket);
    }

    HResult execQuery(const std::string& language, const std::string& text, std::int32_t,
                      EnumeratorPtr& out) override {
        out.reset();
        if (!equalsNoCase(language, "WQL")) return WBEM_E_INVALID_QUERY_TYPE;
        Query q;
        if (!parseQuery(text, q)) {
            report("\n WMI query not understood by the simulated host: %s", text.c_str());
            return WBEM_E_INVALID_QUERY;
        }
        if (const auto fault =
                injectedFault(config_, q.kind == QueryKind::Version ? Step::Version : Step::Query))
            return *fault;
        switch (q.kind) {
            case QueryKind::Version: {
                std::vector<ObjectPtr> objects;
                objects.push_back(std::make_unique<PropertyObject>(
                    std::vector<std::pair<std::string, Variant>>{
                        {"CurrentTimeZone", integerValue(config_.currentTimeZone)},
                        {"Version", textValue(config_.version)}}));
                out = std::make_unique<SimEnumerator>(config_, std::move(objects));
                return WBEM_S_NO_ERROR;
            }
            case QueryKind::Events: {
                std::vector<std::string> files = config_.folder.empty() ? std::vector<std::string>{}
                                                                        : logFiles(config_.folder);
                out = std::make_unique<SimEnumerator>(config_, q, std::move(files));
                return WBEM_S_NO_ERROR;
            }
            case QueryKind::DataFile:
            case QueryKind::Directory: {
                std::vector<ObjectPtr> objects;
                if (ObjectPtr o = makeFileObject(q.name, q.kind == QueryKind::DataFile))
                    objects.push_back(std::move(o));
                out = std::make_unique<SimEnumerator>(config_, std::move(objects));
                return WBEM_S_NO_ERROR;
            }
        }
        return WBEM_E_INVALID_QUERY;
    }

private:
    HostConfig config_;
};

// Splits a namespace path into host and namespace. "ROOT\\CIMV2" alone is
// the local host.
bool splitNamespace(const std::string& path, std::string& host, std::string& ns) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.rfind("\\\\", 0) == 0) {
        const std::size_t end = p.find('\\', 2);
        if (end == std::string::npos || end == 2) return false;
        host = p.substr(2, end - 2);
        ns = p.substr(end + 1);
    } else {
        host = ".";
        ns = p;
    }
    return true;
}

bool isLocalName(const std::string& host) {
    if (host == "." || equalsNoCase(host, "localhost")) return true;
    const std::string own = localHostName();
    if (equalsNoCase(host, own)) return true;
    // The short name of the agent's own DNS name, and the reverse.
    const std::string shortOwn = own.substr(0, own.find('.'));
    const std::string shortHost = host.substr(0, host.find('.'));
    return equalsNoCase(host, shortOwn) || equalsNoCase(shortHost, own);
}

class SimLocator : public Locator {
public:
    HResult connectServer(const std::string& namespacePath, const std::string& user,
                          const std::string& password, const std::string&, std::int32_t,
                          ServicesPtr& out) override {
        out.reset();
        std::string host, ns;
        if (!splitNamespace(namespacePath, host, ns) || !equalsNoCase(ns, "root\\cimv2"))
            return WBEM_E_INVALID_NAMESPACE;
        HostConfig config;
        config.local = isLocalName(host);
        const std::string root = rootFolder();
        const std::string folderName = toLower(config.local ? localHostName() : host);
        if (folderName.empty() || folderName.find('/') != std::string::npos || folderName == "..")
            return RPC_S_SERVER_UNAVAILABLE_HR;
        config.folder = root + (root.empty() || root.back() == '/' ? "" : "/") + folderName;
        std::error_code ec;
        if (!fs::is_directory(config.folder, ec)) {
            if (!config.local) return RPC_S_SERVER_UNAVAILABLE_HR;
            // WMI is always there on the agent's own machine: without a
            // folder it has no event logs and answers with the defaults.
            config.folder.clear();
            config.currentTimeZone = localUtcOffsetMinutes(nowSeconds());
            config.signature = "local";
        } else if (!loadHostConfig(config)) {
            return WBEM_E_FAILED;
        }
        if (const auto fault = injectedFault(config, Step::Connect)) return *fault;
        if (config.local) {
            if (!user.empty() || !password.empty()) return WBEM_E_LOCAL_CREDENTIALS;
        } else if (config.hasAccount) {
            if (!equalsNoCase(user, config.user) || password != config.password) return E_ACCESSDENIED_;
        }
        out = std::make_unique<SimServices>(std::move(config));
        return WBEM_S_NO_ERROR;
    }
};

}  // namespace

// ------------------------------------------------------------------ entry points

HResult initializeCom() { return t_comInitCount++ == 0 ? S_OK_ : S_FALSE_; }

void uninitializeCom() {
    if (t_comInitCount > 0) --t_comInitCount;
}

HResult initializeSecurity(std::uint32_t authnLevel, std::uint32_t impLevel) {
    if (authnLevel > 6 || impLevel > 4) return E_INVALIDARG_;
    bool expected = false;
    return g_securityInitialized.compare_exchange_strong(expected, true) ? S_OK_ : RPC_E_TOO_LATE_;
}

HResult createLocator(LocatorPtr& out) {
    out.reset();
    if (t_comInitCount == 0) return CO_E_NOTINITIALIZED_;
    // libxml2 sets up its global tables once, before threads use it together.
    static std::once_flag xmlReady;
    std::call_once(xmlReady, xmlInitParser);
    out = std::make_unique<SimLocator>();
    return S_OK_;
}

void setHostsRoot(const std::string& directory) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_hostsRoot = directory;
}

std::string hostsRoot() { return rootFolder(); }

void setLocalHostName(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_localName = name;
}

}  // namespace platform::wmi
