#include "statustool/status_update.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "common/registry_helpers.h"
#include "common/text_format.h"
#include "common/threads.h"
#include "platform/net.h"

namespace {

constexpr std::size_t kHostNameCapacity = 250;
constexpr std::uint32_t kDefaultLogLevel = 3;
constexpr auto kRoot = platform::RegistryRoot::LocalMachine;

const char* const kUsage =
    "Usage: statusnote STATUS\n"
    "\n"
    "Reports the agent status word STATUS (for example ServiceInstalled) to the\n"
    "Orbisk server named in the registry, in one agentStatusUpdate request, and\n"
    "logs the steps to agentstatusupdate.log in the install directory's logs\n"
    "folder. Prints one line saying whether the server took the status.\n"
    "\n"
    "Exit codes: 0 delivered (the server answered 200); 1 not delivered (the\n"
    "server could not be reached or answered otherwise, or the agent could not\n"
    "be named); 2 the registry cannot be read (nothing sent, nothing logged).\n"
    "At AgentLogLevel 4 libcurl's trace of the request goes to standard error.\n";

// The first failure the GET reported, for the result line.
std::string g_failure;

// Writer of the GET's failure messages: logs them and keeps the first.
void logFailure(const char* format, ...) TAMSEL_PRINTF(1, 2);
void logFailure(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = VFormatText(format, args);
    va_end(args);
    LogEssential("%s", text.c_str());
    if (const std::size_t start = text.find_first_not_of("\n "); g_failure.empty() && start != std::string::npos)
        g_failure = text.substr(start);
}

// The tool's own messages for its GET: every one through LogEssential.
const HttpGetMessages kToolMessages{
    &logFailure, &LogEssential, "\n Curl Error: %d <--> %s", "\n Setting server status to down",
    "\n Http status code for url:%s is %ld", "\n Error <--> Got status: %ld"};

std::optional<std::string> readText(const char* keyPath, const char* name) {
    std::optional<std::string> text;
    if (ReadRegSZEx(kRoot, keyPath, name, &text) != 0) return std::nullopt;
    return text;
}

// A value the tool can do without: its absence is not an error to log.
std::optional<std::string> readOptionalText(const char* keyPath, const char* name) {
    platform::RegistryKey key(nullptr, nullptr);
    platform::RegistryValue value;
    if (platform::regOpenKey(kRoot, keyPath, platform::RegistryAccess::QueryValue, &key) != 0 ||
        platform::regQueryValue(key, name, &value) != 0 || value.type != platform::kRegSz)
        return std::nullopt;
    return value.data;
}

void openToolLog() {
    const std::string installDir = readText(kAgentKeyPath, "AgentInstallDir").value_or(kDefaultInstallDir);
    InitLogInfo();
    std::uint32_t level = kDefaultLogLevel;
    if (ReadDwordRegistryData(kRoot, kAgentKeyPath, "AgentLogLevel", &level) != 0)
        level = kDefaultLogLevel;
    const std::string logDir = installDir + "logs";
    SetLogInfo("agentstatusupdate.log", logDir.c_str(), 100000, nullptr,
               static_cast<unsigned char>(level > 255 ? 255 : level));
    // Opened for appending only: a missing log directory is not created,
    // and the tool then runs without a log.
    OpenLogFileAppend();
    InitMutex();
    // libcurl's trace is a function-level trace: shown at level 4 only.
    HttpTransferLimits limits = CurrentHttpTransferLimits();
    limits.verbose = level >= 4;
    SetHttpTransferLimits(limits);
}

// Whether the server took the status.
bool sendStatus(const std::optional<std::string>& agentIdText, const std::string& hostName,
                const std::string& status) {
    const std::string protocol = readText(kServerKeyPath, "ServerProtocol").value_or("");
    const std::string address = readText(kServerKeyPath, "ServerIPAddress").value_or("");
    const std::string port = readText(kServerKeyPath, "ServerPort").value_or("");
    HttpTlsOptions tls;
    tls.verifyPeerOff = protocol == "https";
    // The pin the agent honours binds the tool too: with it, only a server
    // whose certificate the file vouches for gets the status.
    tls.caFile = readOptionalText(kAgentKeyPath, "ServerCACertFile")
                     .value_or(readOptionalText(kServerKeyPath, "ServerCACertFile").value_or(""));
    if (protocol == "https" && tls.caFile.empty()) LogEssential("%s", kUnpinnedHttpsWarning);
    // The agent id is only read when the host name is unknown; otherwise the
    // parameter carries "(null)", which is what the server is used to.
    const std::string url = protocol + "://" + address + ":" + port + "/event/" +
                            FormatRequest<Request::StatusToolUpdate>(
                                agentIdText.value_or("(null)"), hostName, status);
    LogEssential("\n URL: %s", url.c_str());
    ResponseBuffer response;
    g_failure.clear();
    const bool delivered = HttpGetToBufferWith(url, response, tls, kToolMessages) == 0;
    LogEssential(delivered ? "\n Status successfully updated" : "\n Status update failed");
    if (delivered)
        std::printf("statusnote: status \"%s\" delivered to %s://%s:%s\n", status.c_str(), protocol.c_str(),
                    address.c_str(), port.c_str());
    else
        std::fprintf(stderr, "statusnote: status \"%s\" not delivered to %s://%s:%s: %s%s\n", status.c_str(),
                     protocol.c_str(), address.c_str(), port.c_str(),
                     g_failure.empty() ? "no answer" : g_failure.c_str(),
                     LogStreamOpen() ? (" (see " + LogDirectory() + kPathSeparator + LogFileName() + ")").c_str() : "");
    return delivered;
}

}  // namespace

std::optional<std::string> LocalHostName() {
    std::string name;
    if (platform::localHostName(&name) != 0) return std::nullopt;
    if (name.size() > kHostNameCapacity) name.resize(kHostNameCapacity);
    return name;
}

int RunStatusUpdate(int argc, char** argv, const HostNameQuery& hostName) {
    const std::string status = argc > 1 && argv[1] != nullptr ? argv[1] : "";
    if (status == "--help" || status == "-h") {
        std::fputs(kUsage, stdout);
        return kStatusDelivered;
    }
    // Nothing is logged or sent on a registry that cannot be read: the log
    // folder would be a guess.
    if (const std::string problem = RegistryReadProblem(kServerKeyPath, kAgentKeyPath); !problem.empty()) {
        std::fprintf(stderr, "statusnote: %s; nothing sent\n", problem.c_str());
        return kStatusRegistryUnreadable;
    }
    openToolLog();
    HttpGlobalInit();

    std::optional<std::string> agentIdText;
    std::optional<std::string> host = hostName();
    bool delivered = false;
    bool send = true;
    if (!host) {
        LogEssential("\n Failed to get HostName");
        agentIdText = readText(kAgentKeyPath, "AgentId");
        if (!agentIdText) {
            LogEssential("\n Failed to get AgentId...so, returning");
            std::fprintf(stderr, "statusnote: status \"%s\" not sent: the host name is unknown and the registry "
                                 "has no AgentId\n",
                         status.c_str());
            send = false;
        }
    }
    if (send) delivered = sendStatus(agentIdText, host.value_or(""), status);

    HttpGlobalCleanup();
    CloseLogFile();
    FreeLogInfo();
    return delivered ? kStatusDelivered : kStatusNotDelivered;
}
