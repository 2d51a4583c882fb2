#include "statustool/status_update.h"

#include <cstdint>

#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "common/registry_helpers.h"
#include "common/threads.h"
#include "platform/net.h"

namespace {

constexpr std::size_t kHostNameCapacity = 250;
constexpr std::uint32_t kDefaultLogLevel = 3;
constexpr auto kRoot = platform::RegistryRoot::LocalMachine;

// The tool's own messages for its GET: every one through LogEssential.
const HttpGetMessages kToolMessages{
    &LogEssential, &LogEssential, "\n Curl Error: %d <--> %s", "\n Setting server status to down",
    "\n Http status code for url:%s is %ld", "\n Error <--> Got status: %ld"};

std::optional<std::string> readText(const char* keyPath, const char* name) {
    std::optional<std::string> text;
    if (ReadRegSZEx(kRoot, keyPath, name, &text) != 0) return std::nullopt;
    return text;
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
}

void sendStatus(const std::optional<std::string>& agentIdText, const std::string& hostName,
                const std::string& status) {
    const std::string protocol = readText(kServerKeyPath, "ServerProtocol").value_or("");
    const std::string address = readText(kServerKeyPath, "ServerIPAddress").value_or("");
    const std::string port = readText(kServerKeyPath, "ServerPort").value_or("");
    HttpTlsOptions tls;
    tls.verifyPeerOff = protocol == "https";
    // The pin the agent honours binds the tool too: with it, only a server
    // whose certificate the file vouches for gets the status.
    tls.caFile = readText(kAgentKeyPath, "ServerCACertFile")
                     .value_or(readText(kServerKeyPath, "ServerCACertFile").value_or(""));
    if (protocol == "https" && tls.caFile.empty()) LogEssential("%s", kUnpinnedHttpsWarning);
    // The agent id is only read when the host name is unknown; otherwise the
    // parameter carries "(null)", which is what the server is used to.
    const std::string url = protocol + "://" + address + ":" + port + "/event/" +
                            FormatRequest<Request::StatusToolUpdate>(
                                agentIdText.value_or("(null)"), hostName, status);
    LogEssential("\n URL: %s", url.c_str());
    ResponseBuffer response;
    if (HttpGetToBufferWith(url, response, tls, kToolMessages) == 0)
        LogEssential("\n Status successfully updated");
    else
        LogEssential("\n Status update failed");
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
    openToolLog();
    HttpGlobalInit();

    std::optional<std::string> agentIdText;
    std::optional<std::string> host = hostName();
    bool send = true;
    if (!host) {
        LogEssential("\n Failed to get HostName");
        agentIdText = readText(kAgentKeyPath, "AgentId");
        if (!agentIdText) {
            LogEssential("\n Failed to get AgentId...so, returning");
            send = false;
        }
    }
    if (send) sendStatus(agentIdText, host.value_or(""), status);

    HttpGlobalCleanup();
    CloseLogFile();
    FreeLogInfo();
    return 1;
}
