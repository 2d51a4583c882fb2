#include "agent/server/protocol.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include <curl/curl.h>

#include "agent/server/table_data.h"
#include "agent/settings/settings.h"
#include "common/key_table.h"
#include "common/log.h"
#include "platform/threads.h"

namespace {

constexpr std::int64_t kRegistrationRetryMillis = 60000;
constexpr std::int64_t kAwsRegistrationDelayMillis = 5000;
constexpr int kHostNotMonitoredStatus = 24;
constexpr int kLogTypeMappingBuckets = 10;

// The stop request for the registration loop.
platform::Event& registrationStop() {
    static platform::Event stop(true);
    return stop;
}

// Waits the given clock time; answers true when a stop was requested.
bool waitOrStop(std::int64_t millis) { return registrationStop().wait(millis); }

bool stopRequested() { return registrationStop().isSet(); }

// The log type mapping and the lock that serialises its readers and writers:
// the collectors look types up and add new ones at the same time, and a
// look-up that asks the server holds the lock so one name is asked once.
struct LogTypeMapping {
    std::mutex lock;
    KeyTable<std::int32_t> table;
};

LogTypeMapping& logTypeMapping() {
    static LogTypeMapping m;
    return m;
}

void ensureMappingTable(LogTypeMapping& m) {
    if (m.table.buckets.empty()) KeyTableInit(m.table, kLogTypeMappingBuckets);
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }
bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

// A decimal integer at the start of a text (leading white space and a sign
// allowed); none when no digit is there or the number does not fit.
std::optional<long long> leadingInteger(const char* text, long long min, long long max) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || value < min || value > max) return std::nullopt;
    return value;
}

bool getStatusOnly(const std::string& url, HttpRequestKind kind = HttpRequestKind::Control) {
    ResponseBuffer response;
    return HttpGetToBuffer(url, response, kind) == 0;
}

}  // namespace

std::string EscapeQueryValue(std::string_view text) {
    static constexpr std::string_view kKept = "-._~!$'()*,:/@";
    auto kept = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || kKept.find(c) != std::string_view::npos;
    };
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t run = i;
        while (run < text.size() && kept(text[run])) ++run;
        out.append(text.substr(i, run - i));
        std::size_t end = run;
        while (end < text.size() && !kept(text[end])) ++end;
        if (end > run) {
            std::unique_ptr<char, decltype(&curl_free)> escaped(
                curl_easy_escape(nullptr, text.data() + run, static_cast<int>(end - run)), &curl_free);
            if (escaped) {
                out += escaped.get();
            } else {  // no memory for libcurl's copy: the same escaping by hand
                static constexpr char kHex[] = "0123456789ABCDEF";
                for (std::size_t k = run; k < end; ++k) {
                    const auto byte = static_cast<unsigned char>(text[k]);
                    out += '%';
                    out += kHex[byte >> 4];
                    out += kHex[byte & 15];
                }
            }
        }
        i = end;
    }
    return out;
}

std::string ServerUrlFor(const std::string& requestText) {
    return BuildServerUrl("%s", requestText.c_str());
}

bool ReadKeyValueLine(std::string_view body, std::string& key, std::string& value) {
    key.clear();
    value.clear();
    std::size_t i = 0;
    // Leading white space, blank lines included, comes before the key line.
    while (i < body.size() && (isBlank(body[i]) || isLineEnd(body[i]))) ++i;
    const std::size_t keyStart = i;
    while (i < body.size() && body[i] != '\0' && !isBlank(body[i]) && !isLineEnd(body[i])) ++i;
    if (i == keyStart) return false;
    key.assign(body.substr(keyStart, std::min(i - keyStart, kKeyValueMaxLength)));
    // The value is on the same line: a key alone on its line has none.
    while (i < body.size() && isBlank(body[i])) ++i;
    const std::size_t valueStart = i;
    while (i < body.size() && body[i] != '\0' && !isLineEnd(body[i])) ++i;
    if (i == valueStart) return false;
    value.assign(body.substr(valueStart, std::min(i - valueStart, kKeyValueMaxLength)));
    return true;
}

bool StoreKeyValueAnswer(std::string_view body, std::string_view expectedKey) {
    std::string key, value;
    if (!ReadKeyValueLine(body, key, value) || key != expectedKey) return false;
    PutAgentSetting(key, value);
    return true;
}

bool RegisterAgent() {
    std::string url;
    if (AwsFlag()) {
        url = RequestUrl<Request::Register>(AgentHostName(), AgentIpText(), "yes");
        LogInfo("\n AWS ip sent");
        if (waitOrStop(kAwsRegistrationDelayMillis)) return false;
    } else {
        url = RequestUrl<Request::Register>(AgentHostName(), AgentIpText(), "no");
    }
    ResponseBuffer response;
    if (HttpGetToBufferCancellable(url, response, stopRequested) != 0) {
        LogError("\n Error while registering.");
        return false;
    }
    // An answer without a usable SLID leaves the agent without an id: it
    // counts as a failed registration, so the caller tries again. An agent
    // id is a positive 64-bit number; anything else is refused by name.
    std::string key, value;
    if (!ReadKeyValueLine(response.data, key, value) || key != "SLID") {
        LogError("\n Registration answer holds no agent id.");
        return false;
    }
    if (!leadingInteger(value.c_str(), 1, LLONG_MAX)) {
        LogError("\n Registration answer refused: SLID %s is not a positive 64-bit number.", value.c_str());
        return false;
    }
    PutAgentSetting(key, value);
    return true;
}

std::optional<std::int64_t> ObtainAgentId() {
    int retries = 0;
    while (true) {
        if (stopRequested()) return std::nullopt;
        if (RegisterAgent()) break;
        if (waitOrStop(kRegistrationRetryMillis)) return std::nullopt;
        ++retries;
        if (retries % 5 == 0) LogError("\n Retrying fetching agent id %d", retries);
    }
    const auto slid = GetAgentSetting("SLID");
    const std::int64_t id = slid ? leadingInteger(slid->c_str(), 1, LLONG_MAX).value_or(0) : 0;
    SetAgentId(id);
    return id;
}

void StopObtainAgentId() { registrationStop().set(); }

void ResetObtainAgentIdStop() { registrationStop().reset(); }

bool SendServiceStarted() {
    const bool ok = getStatusOnly(RequestUrl<Request::ServiceStarted>(AgentId()));
    LogEssential(ok ? "\n Agent Status successfully updated" : "\n Agent Status update failed");
    return ok;
}

bool SendServiceStop() {
    const bool ok = getStatusOnly(RequestUrl<Request::ServiceStop>(AgentId()), HttpRequestKind::StopReport);
    LogEssential(ok ? "\n Status successfully updated" : "\n Status update failed");
    return ok;
}

bool queryAgentVersion() {
    const std::string version = GetAgentSetting("AgentVersion").value_or("");
    ResponseBuffer response;
    if (HttpGetToBuffer(RequestUrl<Request::AgentVersionCheck>(version, AgentId()), response) != 0)
        return false;
    return StoreKeyValueAnswer(response.data, "AGENTVERSIONINSERVER");
}

bool ReportAgentVersion(const std::string& installBinText) {
    // The server reads the blanks of the install directory as "+"; the rest
    // is escaped as any other text.
    std::string escapedDir;
    std::size_t from = 0;
    for (std::size_t blank; (blank = installBinText.find(' ', from)) != std::string::npos; from = blank + 1)
        escapedDir += EscapeQueryValue(std::string_view(installBinText).substr(from, blank - from)) + "+";
    escapedDir += EscapeQueryValue(std::string_view(installBinText).substr(from));
    const EscapedText installDir{escapedDir};
    queryAgentVersion();
    const std::string version = GetAgentSetting("AgentVersion").value_or("");
    // An unknown server version (the check failed) is reported as a mismatch.
    const auto serverVersion = GetAgentSetting("AGENTVERSIONINSERVER");
    const bool same = serverVersion && *serverVersion == version;
    const std::string url =
        same ? RequestUrl<Request::AgentVersionSame>(AgentId(), installDir, version)
             : RequestUrl<Request::AgentVersionDifferent>(AgentId(), installDir, version);
    LogError("\n Checking if AgentVersion matches with version in Server");
    const bool ok = getStatusOnly(url);
    if (ok)
        LogInfo("\n SuccessFully checked");
    else
        LogError("\n Status update failed");
    return ok;
}

bool SendHostNotMonitored(std::int64_t hostId) {
    LogError("\n Updating host as not being monitored, host id :%lld", static_cast<long long>(hostId));
    const bool ok = getStatusOnly(RequestUrl<Request::HostNotMonitored>(hostId, kHostNotMonitoredStatus));
    if (ok)
        LogInfo("\n Status successfully updated");
    else
        LogError("\n Status update failed");
    return ok;
}

void LoadLogTypeMapping() {
    LogInfo("\n Inside init_win_logtypes ::::");
    auto& m = logTypeMapping();
    std::lock_guard<std::mutex> guard(m.lock);
    ensureMappingTable(m);
    FetchTableData(RequestUrl<Request::LogTypeMapping>());
    for (const auto& row : TakeLogTypeMappingRows()) {
        KeyTablePut(m.table, row.name, row.value);
        LogInfo("\n WinLogTypes : Value: %d, Type: %s", row.value, row.name.c_str());
    }
}

bool LookupFacility(std::string& logTypeName, std::int32_t& type) {
    auto& m = logTypeMapping();
    std::lock_guard<std::mutex> guard(m.lock);
    ensureMappingTable(m);
    if (const auto* known = KeyTableGet(m.table, logTypeName)) {
        type = *known;
        return true;
    }
    // Log names may hold blanks, "&" or "/": the name is escaped so that it
    // stays one query parameter (the server reads back the same text).
    std::unique_ptr<char, decltype(&curl_free)> escaped(
        curl_easy_escape(nullptr, logTypeName.c_str(), static_cast<int>(logTypeName.size())),
        &curl_free);
    ResponseBuffer response;
    if (escaped &&
        HttpGetToBuffer(RequestUrl<Request::GetFacility>(EscapedText{escaped.get()}), response) == 0) {
        if (auto number = leadingInteger(response.data.c_str(), INT32_MIN, INT32_MAX)) {
            type = static_cast<std::int32_t>(*number);
            KeyTablePut(m.table, logTypeName, type);
            return true;
        }
    }
    LogError("\n Problem fetching type integer. Assigning application type to log");
    const auto* application = KeyTableGet(m.table, "Application");
    type = application ? *application : 0;
    logTypeName = "Application";
    return false;
}

void ResetLogTypeMapping() {
    auto& m = logTypeMapping();
    std::lock_guard<std::mutex> guard(m.lock);
    KeyTableInit(m.table, kLogTypeMappingBuckets);
}
