// The agent-handler protocol: the catalogue of every request the agent sends
// to the server, the key/value answer reader, registration, the service
// status and version reports, the log type mapping and the facility look-up.
//
// The catalogue is the one place where request texts live. Other modules
// build a request with RequestUrl<Request::X>(args...), which checks at
// compile time that the arguments match the format (text for %s, an integer
// for %d, %ld and %lld) and casts each integer to the width the format
// wants, then hands the text to BuildServerUrl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "agent/server/http_client.h"
#include "common/text_format.h"

enum class Request {
    Register,               // host name, IP text, "yes"/"no"
    ServiceStarted,         // agent id
    ServiceStop,            // agent id
    AgentVersionCheck,      // AgentVersion, agent id
    AgentVersionSame,       // agent id, install-bin text, AgentVersion
    AgentVersionDifferent,  // agent id, install-bin text, AgentVersion
    IsInstall,              // agent id
    LogTypeMapping,
    GetFacility,            // log type name
    HostNotMonitored,       // host id, status (24)
    HostStatus,             // host id, status, next scan time (seconds)
    HostDetails,            // agent id
    HostDetailsForHost,     // agent id, host id
    FiltersForAgent,        // agent id
    FiltersForHost,         // host id
    NotificationsForAgent,  // agent id
    NotificationsForHost,   // host id
    Update,                 // agent id
    Upload,
    MonitorRequestsAgent,     // agent id
    MonitorRequestsTemplate,  // agent id
    FimRequests,            // agent id
    BaseConfig,             // agent id
    Version,
    RenovoDownload,
    StatusToolUpdate,       // agent id text, host name, status text (the status tool)
};

// What the server answers to a request.
enum class AnswerKind { StatusOnly, KeyValue, TableData, Integer, VersionText, File };

struct RequestFormatEntry {
    Request request;
    const char* format;  // printf-style, appended to the URL base
    AnswerKind answer;
};

inline constexpr RequestFormatEntry kRequestCatalogue[] = {
    {Request::Register, "agentHandler?mode=register&name=%s&ip=%s&aws=%s", AnswerKind::KeyValue},
    {Request::ServiceStarted, "agentHandler?mode=agentStatusUpdate&status=ServiceStarted&agentId=%lld",
     AnswerKind::StatusOnly},
    {Request::ServiceStop, "agentHandler?mode=agentStatusUpdate&agentId=%lld&status=ServiceStop",
     AnswerKind::StatusOnly},
    {Request::AgentVersionCheck, "agentHandler?mode=agentversion&isSameVersion=check&version=%s&slid=%lld",
     AnswerKind::KeyValue},
    {Request::AgentVersionSame,
     "agentHandler?mode=agentversion&isSameVersion=yes&slid=%lld&installDir=%s&version=%s",
     AnswerKind::StatusOnly},
    {Request::AgentVersionDifferent,
     "agentHandler?mode=agentversion&isSameVersion=no&slid=%lld&installDir=%s&version=%s",
     AnswerKind::StatusOnly},
    {Request::IsInstall, "agentHandler?type=file&mode=isInstall&slid=%lld", AnswerKind::TableData},
    {Request::LogTypeMapping, "agentHandler?mode=getTableData&table=LogTypeMapping", AnswerKind::TableData},
    {Request::GetFacility, "agentHandler?mode=getFacility&type=%s", AnswerKind::Integer},
    {Request::HostNotMonitored, "agentHandler?mode=hoststatus&hostid=%lld&status=%d&nextScanTime=-",
     AnswerKind::StatusOnly},
    {Request::HostStatus, "agentHandler?mode=hoststatus&hostid=%lld&status=%d&nextScanTime=%ld000",
     AnswerKind::StatusOnly},
    {Request::HostDetails, "hostdetails?slid=%lld", AnswerKind::TableData},
    {Request::HostDetailsForHost, "hostdetails?slid=%lld&hostid=%lld", AnswerKind::TableData},
    {Request::FiltersForAgent, "filters?slid=%lld", AnswerKind::TableData},
    {Request::FiltersForHost, "filters?hostid=%lld", AnswerKind::TableData},
    {Request::NotificationsForAgent, "notifications?slid=%lld", AnswerKind::TableData},
    {Request::NotificationsForHost, "notifications?hostid=%lld", AnswerKind::TableData},
    {Request::Update, "agentHandler?mode=update&slid=%lld", AnswerKind::TableData},
    {Request::Upload, "agentUpload", AnswerKind::StatusOnly},
    {Request::MonitorRequestsAgent, "agentHandler?type=file&mode=monitorrequests&rType=AGENT&slid=%lld",
     AnswerKind::TableData},
    {Request::MonitorRequestsTemplate,
     "agentHandler?type=file&mode=monitorrequests&rType=TEMPLATE&slid=%lld", AnswerKind::TableData},
    {Request::FimRequests, "agentHandler?type=file&mode=fimRequests&slid=%lld", AnswerKind::KeyValue},
    {Request::BaseConfig, "agentHandler?type=file&mode=baseconfig&slid=%lld", AnswerKind::KeyValue},
    {Request::Version, "agentHandler?mode=version", AnswerKind::VersionText},
    {Request::RenovoDownload, "agentHandler?mode=Renovo.exe", AnswerKind::File},
    {Request::StatusToolUpdate, "agentHandler?mode=agentStatusUpdate&agentId=%s&agentName=%s&status=%s",
     AnswerKind::StatusOnly},
};

constexpr const RequestFormatEntry& RequestEntry(Request request) {
    for (const auto& entry : kRequestCatalogue)
        if (entry.request == request) return entry;
    throw "request missing from the catalogue";  // compile-time error when constant-evaluated
}
constexpr const char* RequestFormat(Request request) { return RequestEntry(request).format; }

// A query value escaped with libcurl, so that it stays one parameter with the
// same text at the server: every byte but the letters, digits and
// "-._~!$'()*,:/@" becomes %XX. A text made only of those goes out unchanged.
std::string EscapeQueryValue(std::string_view text);
// A value the caller has escaped itself; FormatRequest puts it in as it is.
struct EscapedText {
    std::string text;
};

namespace request_detail {

enum class Conversion { None, Text, Int, Long, LongLong };

// The conversion of the index-th '%' directive of a catalogue format.
constexpr Conversion conversionAt(const char* format, std::size_t index) {
    std::size_t seen = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') continue;
        Conversion c = Conversion::None;
        if (p[1] == 's') c = Conversion::Text;
        else if (p[1] == 'd') c = Conversion::Int;
        else if (p[1] == 'l' && p[2] == 'd') c = Conversion::Long;
        else if (p[1] == 'l' && p[2] == 'l' && p[3] == 'd') c = Conversion::LongLong;
        else throw "unsupported conversion in a request format";
        if (seen++ == index) return c;
    }
    return Conversion::None;
}

constexpr std::size_t conversionCount(const char* format) {
    std::size_t n = 0;
    while (conversionAt(format, n) != Conversion::None) ++n;
    return n;
}

// A text argument after escaping, alive until the request text is formatted.
struct HeldText {
    std::string text;
};

template <Conversion C, class T>
auto convert(const T& value) {
    if constexpr (C == Conversion::Text) {
        if constexpr (std::is_same_v<T, EscapedText>) {
            return HeldText{value.text};
        } else if constexpr (std::is_same_v<T, std::string>) {
            return HeldText{EscapeQueryValue(value)};
        } else {
            static_assert(std::is_convertible_v<const T&, const char*>, "%s wants a text");
            const char* text = static_cast<const char*>(value);
            return HeldText{EscapeQueryValue(text ? text : "")};
        }
    } else {
        static_assert(std::is_integral_v<T> || std::is_enum_v<T>, "an integer conversion wants an integer");
        if constexpr (C == Conversion::Int) return static_cast<int>(value);
        else if constexpr (C == Conversion::Long) return static_cast<long>(value);
        else return static_cast<long long>(value);
    }
}

template <class T>
T pass(const T& value) {
    return value;
}
inline const char* pass(const HeldText& held) { return held.text.c_str(); }

}  // namespace request_detail

// The request text of a catalogue entry with its arguments; every text
// argument is escaped (EscapeQueryValue) unless it is an EscapedText.
template <Request R, class... Args>
std::string FormatRequest(const Args&... args) {
    constexpr const char* format = RequestFormat(R);
    static_assert(request_detail::conversionCount(format) == sizeof...(Args),
                  "wrong number of arguments for this request");
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return FormatText(
            format,
            request_detail::pass(request_detail::convert<request_detail::conversionAt(RequestFormat(R), I)>(args))...);
    }(std::index_sequence_for<Args...>{});
}

// The whole URL of a request (BuildServerUrl: base, request, "\n URL: %s" logged).
std::string ServerUrlFor(const std::string& requestText);
template <Request R, class... Args>
std::string RequestUrl(const Args&... args) {
    return ServerUrlFor(FormatRequest<R>(args...));
}

// Key/value answers: the first line of the body holds a key (a run without
// white space) and, after white space, a value up to the line end. Both are
// cut to 103 characters. Returns false when the line has no value.
inline constexpr std::size_t kKeyValueMaxLength = 103;
bool ReadKeyValueLine(std::string_view body, std::string& key, std::string& value);
// Stores the answer's pair in the settings table when its key is the expected
// one; answers whether it did.
bool StoreKeyValueAnswer(std::string_view body, std::string_view expectedKey);

// Registration. RegisterAgent answers true only when the server answered 200
// with an SLID line (the agent cannot work without an id).
bool RegisterAgent();
// Registers until an id comes, retrying every 60 s; stores the id with
// SetAgentId and answers it. Answers none when StopObtainAgentId() was called
// (before or during the retries, or while a registration request hangs: the
// request is abandoned within about a second), so the stop path is never
// held up.
std::optional<std::int64_t> ObtainAgentId();
void StopObtainAgentId();
void ResetObtainAgentIdStop();  // tests, and a later start in the same process

// Service status updates; true when the server answered 200.
bool SendServiceStarted();
bool SendServiceStop();
// Asks the server for its idea of the agent's version; stores AGENTVERSIONINSERVER.
bool queryAgentVersion();
// The version report: check, then "yes" or "no" with the install-bin text
// (blanks sent as "+").
bool ReportAgentVersion(const std::string& installBinText);
bool SendHostNotMonitored(std::int64_t hostId);

// Log type mapping (log type name -> type number), shared by the collectors.
void LoadLogTypeMapping();
// The type number of a log type name, asking the server once per unknown
// name. On failure the number of "Application" (0 when the mapping has none)
// is given and the name is replaced by "Application". Serialised: safe from
// any number of threads.
bool LookupFacility(std::string& logTypeName, std::int32_t& type);
// Tests: empties the mapping.
void ResetLogTypeMapping();
