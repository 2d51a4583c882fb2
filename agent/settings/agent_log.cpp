#include "agent/settings/agent_log.h"

#include <cstdio>
#include <optional>
#include <string>

#include "agent/scheduler/scheduler.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/private_files.h"

namespace {

std::string& logDirectory() {
    static std::string dir;
    return dir;
}

unsigned char& configuredLevel() {
    static unsigned char level = kAgentLogDefaultLevel;
    return level;
}

}  // namespace

unsigned char AgentLogLevelSetting() {
    const std::optional<std::string> text = GetAgentSetting("AgentLogLevel");
    if (!text || text->empty()) return kAgentLogDefaultLevel;
    unsigned long value = 0;
    for (char c : *text) {
        if (c < '0' || c > '9') return kAgentLogDefaultLevel;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 255) return 255;  // any level above 4 writes everything
    }
    return static_cast<unsigned char>(value);
}

bool OpenAgentLog() {
    logDirectory() = AgentLogDir();
    configuredLevel() = AgentLogLevelSetting();
    // InitLogInfo leaves a configured, unopened log as it is, so the level
    // set here holds.
    SetLogInfo(kAgentLogName, logDirectory().c_str(), 10000, nullptr, configuredLevel());
    InitLogInfo();
    // A log folder or log file left readable by an earlier version is closed
    // to other users before anything is written.
    platform::makePrivateDirectory(logDirectory());
    for (const char* name : {kAgentLogName, kAgentLogPreviousName})
        platform::makePrivateFile(logDirectory() + "/" + name);
    return OpenLogFile();
}

int ScheduleLogRotation() {
    auto fire = static_cast<std::uint32_t>(platform::nowSeconds() + 120);
    return scheduleEntry(nullptr, fire, [] { RotateAgentLog(); },
                         makePeriodic(120, kUnitSeconds, -1), 0);
}

void RotateAgentLog() {
    if (!LogStreamOpen()) return;
    // What is still in memory counts towards the size and belongs to the
    // file that is measured.
    FlushLog();
    const std::string dir = logDirectory().empty() ? LogDirectory() : logDirectory();
    const std::string current = dir + "/" + kAgentLogName;
    platform::FileStatus info;
    if (platform::fileStatus(current, &info) != 0) return;
    LogInfo("Log Size: %d", static_cast<int>(info.size));
    if (static_cast<std::int64_t>(info.size) <= kAgentLogRotateAbove) return;

    // The writers wait on the log lock for the whole swap, so no message of
    // another thread is dropped or written to the closed stream.
    auto lock = LockLogStream();
    SetLogInfo(kAgentLogName, dir.c_str(), 10000, nullptr, 0);
    const std::string previous = dir + "/" + kAgentLogPreviousName;
    platform::removeFile(previous);
    CloseLogFile();
    platform::renameFile(current, previous);
    if (!OpenLogFile()) SetLogFilePtr(stderr);
    SetLogInfo(kAgentLogName, dir.c_str(), 10000, nullptr, configuredLevel());
}
