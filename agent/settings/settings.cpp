#include "agent/settings/settings.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "agent/settings/agent_log.h"
#include "common/registry_helpers.h"
#include "common/text_format.h"
#include "platform/fs.h"

namespace {

struct SettingsState {
    std::mutex lock;
    KeyTable<std::string> table;
    int protocolFlag = 0;
    int databaseFlag = 0;
    std::int64_t agentId = 0;
    bool haveAgentId = false;
    std::string hostName;
    std::string ipText;
    bool aws = false;
};

SettingsState& settings() {
    static SettingsState s;
    return s;
}

// Runs f on the settings state under its lock and gives back what f returns.
template <class F>
auto withSettings(F f) {
    auto& s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    return f(s);
}

// Settings the agent compares as text: when one is missing the agent goes on
// with the value the wizard would have written, and says so once.
struct TextDefault {
    const char* name;
    const char* value;
};
constexpr TextDefault kTextDefaults[] = {
    {"ServerProtocol", "http"},
    {"ServerDBType", "postgres"},
    {"AWS Instance", "no"},
    {"AgentVersion", ""},
};

void fillMissingTextSettings() {
    for (const auto& d : kTextDefaults) {
        bool missing = false;
        {
            auto& s = settings();
            std::lock_guard<std::mutex> guard(s.lock);
            if (!KeyTableHas(s.table, d.name)) {
                KeyTablePut(s.table, d.name, std::string(d.value));
                missing = true;
            }
        }
        if (missing)
            LogInfo("\n Registry value %s is missing; using \"%s\"", d.name, d.value);
    }
}

}  // namespace

long LoadRegistryKey(platform::RegistryRoot root, const std::string& keyPath,
                     KeyTable<std::string>& table) {
    platform::RegistryKey key(nullptr, nullptr);
    if (long rc = platform::regOpenKey(root, keyPath, platform::RegistryAccess::Read, &key); rc != 0)
        return rc;
    std::uint32_t count = 0;
    if (long rc = platform::regQueryValueCount(key, &count); rc != 0) return rc;
    for (std::uint32_t i = 0; i < count; ++i) {
        platform::RegistryValue value;
        if (platform::regEnumValue(key, i, &value, 16384, 16384) != 0) continue;
        if (value.type == platform::kRegSz) {
            KeyTablePut(table, value.name, value.data);
        } else if (value.type == platform::kRegDword) {
            // Kept as its decimal text; no reader needs it.
            KeyTablePut(table, value.name, std::to_string(platform::dwordValue(value.data)));
        }
    }
    return 0;
}

namespace {

// Why the agent cannot run with the settings it read, or "" when it can.
// Without a server address and port every request would go to "http://:"
// for ever, so the agent stops and says why instead.
std::string settingsProblem(long serverKeyResult, long agentKeyResult) {
    if (std::string problem = RegistryProblem(serverKeyResult, agentKeyResult); !problem.empty()) return problem;
    for (const char* name : {"ServerIPAddress", "ServerPort"})
        if (GetAgentSetting(name).value_or("").empty())
            return platform::registryLocation() + ": the key HKEY_LOCAL_MACHINE\\" + kServerKeyPath +
                   " has no value " + name;
    return "";
}

}  // namespace

bool LoadAgentSettings() {
    long serverKeyResult = 0, agentKeyResult = 0;
    {
        auto& s = settings();
        std::lock_guard<std::mutex> guard(s.lock);
        KeyTableInit(s.table, 15);
        serverKeyResult = LoadRegistryKey(platform::RegistryRoot::LocalMachine,
                                          std::string(kServerKeyPath) + "\\", s.table);
        agentKeyResult = LoadRegistryKey(platform::RegistryRoot::LocalMachine,
                                         std::string(kAgentKeyPath) + "\\", s.table);
    }
    const std::string problem = settingsProblem(serverKeyResult, agentKeyResult);
    if (!problem.empty()) {
        // Standard error first: the log may be what cannot be opened. The
        // log is opened only where the registry says it is.
        std::fprintf(stderr, "ambrik: %s; the agent stops\n", problem.c_str());
        std::fflush(stderr);
        if (GetAgentSetting("AgentInstallDir") && OpenAgentLog()) LogError("\n %s; the agent stops", problem.c_str());
        return false;
    }
    OpenAgentLog();
    fillMissingTextSettings();
    std::string bin = InstallBinDir();
    LogInfo("\n Setting Current Directory to : %s", bin.c_str());
    if (platform::setCurrentDirectory(bin) != 0)
        LogError("\n Unable to set the current directory to %s", bin.c_str());
    return true;
}

std::optional<std::string> GetAgentSetting(std::string_view name) {
    auto& s = settings();
    std::lock_guard<std::mutex> guard(s.lock);
    if (const std::string* value = KeyTableGet(s.table, name)) return *value;
    return std::nullopt;
}

void PutAgentSetting(std::string_view name, const std::string& value) {
    withSettings([&](SettingsState& s) {
        if (s.table.buckets.empty()) KeyTableInit(s.table, 15);
        KeyTablePut(s.table, name, value);
    });
}

void ResetAgentSettings() {
    withSettings([](SettingsState& s) {
        KeyTableInit(s.table, 15);
        s.protocolFlag = 0;
        s.databaseFlag = 0;
        s.agentId = 0;
        s.haveAgentId = false;
        s.hostName.clear();
        s.ipText.clear();
        s.aws = false;
    });
}

std::string BuildServerUrl(const char* format, ...) {
    std::string url = GetAgentSetting("ServerProtocol").value_or("") + "://" +
                      GetAgentSetting("ServerIPAddress").value_or("") + ":" +
                      GetAgentSetting("ServerPort").value_or("") + "/event/";
    va_list args;
    va_start(args, format);
    url += VFormatText(format, args);
    va_end(args);
    LogInfo("\n URL: %s", url.c_str());
    return url;
}

void SetProtocolFlag() {
    int flag = GetAgentSetting("ServerProtocol").value_or("") == "https" ? 1 : 0;
    withSettings([&](SettingsState& s) { s.protocolFlag = flag; });
}

void SetDatabaseFlag() {
    std::string db = GetAgentSetting("ServerDBType").value_or("");
    int flag = db == "postgres" ? 2 : db == "mssql" ? 1 : 0;
    withSettings([&](SettingsState& s) { s.databaseFlag = flag; });
}

int ProtocolFlag() { return withSettings([](SettingsState& s) { return s.protocolFlag; }); }

int DatabaseFlag() { return withSettings([](SettingsState& s) { return s.databaseFlag; }); }

std::string AgentInstallDir() {
    return GetAgentSetting("AgentInstallDir").value_or(kDefaultInstallDir);
}

std::string InstallBinDir() { return AgentInstallDir() + "bin" + kPathSeparator; }

std::string AgentLogDir() { return AgentInstallDir() + "logs" + kPathSeparator; }

std::int64_t AgentId() { return withSettings([](SettingsState& s) { return s.agentId; }); }

void SetAgentId(std::int64_t id) {
    withSettings([&](SettingsState& s) {
        s.agentId = id;
        s.haveAgentId = true;
    });
}

bool HaveAgentId() { return withSettings([](SettingsState& s) { return s.haveAgentId; }); }

std::string AgentHostName() { return withSettings([](SettingsState& s) { return s.hostName; }); }

std::string AgentIpText() { return withSettings([](SettingsState& s) { return s.ipText; }); }

void SetAgentHost(const std::string& hostName, const std::string& ipText) {
    withSettings([&](SettingsState& s) {
        s.hostName = hostName;
        s.ipText = ipText;
    });
}

bool AwsFlag() { return withSettings([](SettingsState& s) { return s.aws; }); }

void SetAwsFlag(bool aws) {
    withSettings([&](SettingsState& s) { s.aws = aws; });
}
