#include "agent/service/status_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "agent/fim/volume_monitor.h"
#include "agent/scheduler/scheduler.h"
#include "agent/settings/settings.h"
#include "agent/store/transfer_pipeline.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/private_files.h"

namespace {

constexpr std::int32_t kStatusIntervalSeconds = 10;
constexpr const char* kStatusName = "status.json";

std::atomic<std::int64_t> g_startedAt{0};
// One writer at a time: the scheduler thread and the stop share the aside file.
std::mutex g_writeLock;

// The data sets by their order in DataSet.
constexpr const char* kDataSetNames[kDataSetCount] = {"events", "change", "base", "periodic", "new"};

std::string number(std::int64_t v) { return std::to_string(v); }

}  // namespace

void NoteAgentStarted() { g_startedAt = platform::nowSeconds(); }

std::string StatusFileText(std::int64_t now) {
    std::string out = "{\n";
    out += "  \"version\": \"" AMBRIK_VERSION "\",\n";
    out += "  \"written\": " + number(now) + ",\n";
    out += "  \"startedAt\": " + number(g_startedAt.load()) + ",\n";
    out += "  \"agentId\": " + (HaveAgentId() ? number(AgentId()) : std::string("null")) + ",\n";
    out += "  \"transfers\": {";
    const auto states = transferStates();
    for (std::size_t i = 0; i < kDataSetCount; ++i) {
        const DataSetTransferState& s = states[i];
        out += i ? ",\n" : "\n";
        out += std::string("    \"") + kDataSetNames[i] + "\": {\"lastAttempt\": " + number(s.lastAttempt) +
               ", \"lastSuccess\": " + number(s.lastSuccess) + ", \"lastResult\": " + number(s.lastResult) +
               ", \"consecutiveFailures\": " + number(s.consecutiveFailures) +
               ", \"pendingFiles\": " + number(static_cast<std::int64_t>(s.pendingFiles)) +
               ", \"pendingBytes\": " + std::to_string(s.pendingBytes) + "}";
    }
    out += "\n  },\n";
    out += "  \"fim\": {\"gaps\": " + number(journalGapCount()) + "},\n";
    out += "  \"process\": {\"logLevel\": " + number(LogLevel()) + "}\n";
    out += "}\n";
    return out;
}

bool WriteStatusFile() {
    const std::string text = StatusFileText(platform::nowSeconds());
    const std::string path = AgentLogDir() + kStatusName;
    const std::string aside = path + ".new";
    std::lock_guard<std::mutex> guard(g_writeLock);
    std::FILE* f = platform::openRegularFile(aside, "wb");
    if (!f) {
        LogError("\n Unable to write %s: %s", aside.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        LogError("\n Unable to write %s", aside.c_str());
        platform::removeFile(aside);
        return false;
    }
    const long replaced = platform::renameFile(aside, path);
    if (replaced != 0) {
        LogError("\n Unable to replace %s: error %ld", path.c_str(), replaced);
        platform::removeFile(aside);
        return false;
    }
    return true;
}

bool ScheduleStatusFile() {
    const auto first = static_cast<std::uint32_t>(platform::nowSeconds());
    return scheduleEntry(nullptr, first, [] { WriteStatusFile(); },
                         makePeriodic(kStatusIntervalSeconds, kUnitSeconds, -1)) != 0;
}
