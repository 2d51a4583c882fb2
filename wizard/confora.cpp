#include "wizard/confora.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "agent/settings/settings.h"
#include "common/log.h"
#include "common/registry_helpers.h"
#include "common/threads.h"
#include "platform/net.h"
#include "platform/private_files.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

constexpr auto kRoot = platform::RegistryRoot::LocalMachine;
constexpr std::uint32_t kDefaultLogLevel = 3;

// Byte count of the narrow text handed to a look-up, terminator included,
// as the conversion from the dialog's wide text reports it.
void logConvertedSize(const std::string& text) {
    LogEssential("\n BSZ %d ", static_cast<int>(text.size() + 1));
}

// The name's first IPv4 address in dotted form; empty when the look-up fails.
std::string forwardResolve(const std::string& name, const NameLookup& lookup, long* code) {
    logConvertedSize(name);
    LogEssential("\n serverName in IP ADDR %s ", name.c_str());
    std::vector<std::string> addresses;
    *code = lookup.forward ? lookup.forward(name, &addresses) : platform::kWsaNoRecovery;
    std::string first = *code == 0 && !addresses.empty() ? addresses.front() : std::string();
    if (*code == 0 && first.empty()) *code = platform::kWsaNoData;
    LogEssential("\n IPSTRINg in IP ADDR %s ", first.c_str());
    return first;
}

// The official host name of a dotted IPv4 address; empty when there is none.
std::string reverseResolve(const std::string& address, const NameLookup& lookup, long* code) {
    logConvertedSize(address);
    LogEssential("\n serverIP in GetHostName %s ", address.c_str());
    std::string host;
    *code = lookup.reverse ? lookup.reverse(address, &host) : platform::kWsaNoRecovery;
    if (*code != 0) host.clear();
    else if (host.empty()) *code = platform::kWsaNoData;
    LogEssential("\n Host Name in GetHostName %s ", host.c_str());
    return host;
}

std::string lookupFailure(const std::string& what, const std::string& text, long code) {
    std::string reason = "no " + what + " for \"" + text + "\" (error " + std::to_string(code);
    if (code == platform::kWsaNoData) reason += ", no IPv4 address";
    if (code == platform::kWsaInvalidArgument) reason += ", not a dotted IPv4 address";
    return reason + ")";
}

void writeOne(const char* keyPath, const char* name, const std::string& data, OkOutcome* outcome) {
    if (writeValue(kRoot, keyPath, name, data, platform::kRegSz) != 0)
        outcome->failedWrites.push_back(std::string(keyPath) + "\\" + name);
}

// The six values in the order the agent's installation expects them.
void writeSettings(const WizardInput& input, const std::string& name, const std::string& ip,
                   OkOutcome* outcome) {
    outcome->writtenName = name;
    outcome->writtenIp = ip;
    writeOne(kServerKeyPath, "ServerIPAddress", ip, outcome);
    writeOne(kServerKeyPath, "ServerName", name, outcome);
    writeOne(kServerKeyPath, "ServerDBType", input.database.empty() ? "postgres" : input.database, outcome);
    writeOne(kServerKeyPath, "ServerProtocol", input.protocol.empty() ? "http" : input.protocol, outcome);
    writeOne(kServerKeyPath, "ServerPort", input.serverPort.empty() ? kDefaultServerPort : input.serverPort,
             outcome);
    writeOne(kAgentKeyPath, "AWS Instance", input.aws ? "yes" : "no", outcome);
}

// Installfail.txt, opened by its full path so the current directory of the
// process stays what it was.
bool writeInstallFail(const std::string& path) {
    std::FILE* file = platform::openRegularFile(path, "w");
    if (!file) {
        LogEssential("\n Unable to create %s : %s ", path.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fputs("****************\n", file) >= 0 && std::fputs("Installation Failure!!!\n", file) >= 0 &&
              std::fputs("Invalid Server Name/IP \n", file) >= 0 && std::fputs("****************\n", file) >= 0;
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

}  // namespace

NameLookup PlatformNameLookup() { return NameLookup{&platform::resolveIpv4, &platform::reverseLookup}; }

std::string ConforaInstallDir() {
    std::optional<std::string> text;
    std::string dir = ReadRegSZEx(kRoot, kAgentKeyPath, "AgentInstallDir", &text) == 0 && text ? *text : "";
    if (dir.empty()) return kDefaultInstallDir;
    if (dir.back() != '/' && dir.back() != '\\') dir += kPathSeparator;
    return dir;
}

void OpenConforaLog(const std::string& installDir) {
    InitLogInfo();
    std::uint32_t level = kDefaultLogLevel;
    if (ReadDwordRegistryData(kRoot, kAgentKeyPath, "AgentLogLevel", &level) != 0) level = kDefaultLogLevel;
    const std::string logDir = installDir + "logs";
    SetLogInfo("Confora.log", logDir.c_str(), 100000, nullptr, static_cast<unsigned char>(level > 255 ? 255 : level));
    OpenLogFileAppend();
    InitMutex();
}

void CloseConforaLog() {
    CloseLogFile();
    FreeLogInfo();
}

void LogDialogInitStart() {
    LogEssential("\n ******************************************************************************* ");
    LogEssential("\n Inside CConforaDlg::OnInitDialog Method ");
}

void LogDialogInitEnd() { LogEssential("\n End Of CConforaDlg::OnInitDialog Method "); }

std::size_t EditControlLength(const std::string& utf8) { return platform::utf8ToUtf16(utf8).size(); }

std::optional<std::string> CheckFieldLengths(const WizardInput& input) {
    struct Field {
        const char* label;
        const std::string& text;
        std::size_t limit;
    };
    const Field fields[] = {{"server name", input.serverName, kServerNameLimit},
                            {"server IP address", input.serverIp, kServerIpLimit},
                            {"server port", input.serverPort, kServerPortLimit}};
    for (const Field& f : fields) {
        if (EditControlLength(f.text) > f.limit)
            return std::string("the ") + f.label + " is longer than " + std::to_string(f.limit) + " characters";
    }
    return std::nullopt;
}

std::string WriteFailureText(const OkOutcome& outcome) {
    if (outcome.failedWrites.empty()) return "";
    std::string names;
    for (const std::string& n : outcome.failedWrites) names += (names.empty() ? "" : ", ") + n;
    return "could not write " + names + " in the registry (see Confora.log)";
}

OkOutcome PressOk(const WizardInput& input, const ConforaEnvironment& env,
                  const std::function<MismatchChoice()>& choose) {
    OkOutcome outcome;
    LogEssential("\n Inside CConforaDlg::OnBnClickedButton1(OK) Method ");
    LogEssential("\n serverName      from UI : %s ", input.serverName.c_str());
    LogEssential("\n serverIPAddress from UI : %s ", input.serverIp.c_str());
    LogEssential("\n serverDb        from UI : %s ", input.database.c_str());
    LogEssential("\n serverProtocol  from UI : %s ", input.protocol.c_str());
    LogEssential("\n serverPort      from UI : %s ", input.serverPort.c_str());

    if (input.serverName.empty() && input.serverIp.empty()) {
        outcome.result = OkResult::EmptyInput;
        LogEssential("\n End of CConforaDlg::OnBnClickedButton1(OK) Method \n");
        return outcome;
    }

    std::string name = input.serverName;
    std::string ip = input.serverIp;
    long code = 0;
    if (!name.empty()) {
        const std::string resolved = forwardResolve(name, env.lookup, &code);
        if (resolved.empty())
            outcome.resolutionProblem = lookupFailure("IPv4 address", name, code);
        else if (ip.empty())
            ip = resolved;
        else if (resolved != ip)
            outcome.resolutionProblem = "\"" + name + "\" resolves to " + resolved + ", not " + ip;
    } else {
        const std::string host = reverseResolve(ip, env.lookup, &code);
        if (host.empty())
            outcome.resolutionProblem = lookupFailure("host name", ip, code);
        else
            name = host;
    }

    if (!outcome.resolutionProblem.empty()) {
        LogEssential("\n Server Name/IP check failed: %s ", outcome.resolutionProblem.c_str());
        const MismatchChoice choice = choose ? choose() : MismatchChoice::Abort;
        if (choice == MismatchChoice::Abort) {
            outcome.result = OkResult::Aborted;
            outcome.installFailPath = env.installDir + "Installfail.txt";
            outcome.installFailWritten = writeInstallFail(outcome.installFailPath);
            return outcome;
        }
        if (choice == MismatchChoice::Retry) {
            outcome.result = OkResult::Retry;
            LogEssential("\n End of CConforaDlg::OnBnClickedButton1(OK) Method \n");
            return outcome;
        }
        // Ignore: the fields as they were typed.
        name = input.serverName;
        ip = input.serverIp;
    }
    writeSettings(input, name, ip, &outcome);
    LogEssential("\n End of CConforaDlg::OnBnClickedButton1(OK) Method \n");
    return outcome;
}
