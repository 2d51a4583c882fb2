#include "agent/service/status_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "agent/fim/change_detect.h"
#include "agent/hosts/host_cache.h"
#include "agent/scheduler/scheduler.h"
#include "agent/settings/settings.h"
#include "common/log.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/private_files.h"

namespace {

constexpr std::int32_t kStatusIntervalSeconds = 10;
constexpr const char* kStatusName = "status.json";

std::atomic<std::int64_t> g_startedAt{0};
// One writer at a time: the scheduler thread and the stop share the aside files.
std::mutex g_writeLock;

// The data sets by their order in DataSet.
constexpr const char* kDataSetNames[kDataSetCount] = {"events", "change", "base", "periodic", "new"};

std::string number(std::int64_t v) { return std::to_string(v); }
std::string unsignedNumber(std::uint64_t v) { return std::to_string(v); }

std::string hresultText(std::uint32_t hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string hostError(const HostRunRecord& run) { return run.lastRunFailed ? hresultText(run.lastResult) : ""; }

// Seconds since the host's logs were last read to their end; -1 before that.
std::int64_t lagOf(const HostStatus& h, std::int64_t now) {
    return h.run.readThrough > 0 ? std::max<std::int64_t>(0, now - h.run.readThrough) : -1;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string cpuText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

// Writes text to path through path.new, renamed over it once whole; the
// reason when it could not be.
std::string writeAside(const std::string& path, const std::string& text, bool othersMayRead) {
    const std::string aside = path + ".new";
    std::FILE* f = platform::openRegularFile(aside, "wb");
    if (!f) return "Unable to write " + aside + ": " + std::strerror(errno);
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        platform::removeFile(aside);
        return "Unable to write " + aside;
    }
    // A monitoring system's collector reads the metrics as its own user.
    if (othersMayRead) platform::makeReadableByAll(aside);
    const long replaced = platform::renameFile(aside, path);
    if (replaced != 0) {
        platform::removeFile(aside);
        return "Unable to replace " + path + ": error " + std::to_string(replaced);
    }
    return "";
}

// Logs a file's failure once, until it is written again (every 10 s would
// bury the log), and says when it is.
bool reportWrite(const std::string& path, const std::string& failure, bool& failing) {
    if (!failure.empty() && !failing) LogError("\n %s", failure.c_str());
    if (failure.empty() && failing) LogError("\n %s is written again", path.c_str());
    failing = !failure.empty();
    return failure.empty();
}

bool g_statusFailing = false;   // under g_writeLock
bool g_metricsFailing = false;

// ---------------------------------------------------------------- metrics

// One metric family: its help and type lines, then its samples.
struct Family {
    std::string& out;
    std::string name;

    Family(std::string& text, const std::string& metric, const char* type, const char* help)
        : out(text), name("ambrik_" + metric) {
        out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& labels, const std::string& value) {
        out += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }
};

// A label value with backslash, double quote and line end escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string hostLabels(const HostStatus& h) {
    return "host=\"" + labelValue(h.name) + "\",host_id=\"" + number(h.id) + "\"";
}

}  // namespace

void NoteAgentStarted() { g_startedAt = platform::nowSeconds(); }

StatusSnapshot TakeStatusSnapshot(std::int64_t now) {
    StatusSnapshot s;
    s.now = now;
    s.startedAt = g_startedAt.load();
    s.haveAgentId = HaveAgentId();
    if (s.haveAgentId) s.agentId = AgentId();
    s.server = serverContact();
    for (int i = 0; i < MAX_HOSTS; ++i) {
        HostStatus h;
        bool inUse = false;
        withHostSlot(hostSlot(i), [&](HostSlot& slot) {
            inUse = slot.inUse != 0;
            if (!inUse) return;
            h.id = slot.hostId;
            h.name = slot.hostName;
            h.status = slot.status;
            h.nextScan = slot.nextScanTime;
            h.intervalSeconds = slot.monInterval > 0 ? static_cast<std::int64_t>(slot.monInterval) * 60 : 0;
        });
        if (!inUse) continue;
        h.run = hostRunRecord(i, h.id);
        s.hosts.push_back(std::move(h));
    }
    s.transfers = transferStates();
    s.fimGaps = journalGapCount();
    s.drives = driveStatuses();
    s.lastChangeJob = lastChangeJobTime();
    s.processKnown = platform::currentProcessUsage(&s.process) == 0;
    s.logLevel = LogLevel();
    return s;
}

std::string StatusFileText(const StatusSnapshot& s) {
    std::string out = "{\n";
    out += "  \"version\": \"" AMBRIK_VERSION "\",\n";
    out += "  \"written\": " + number(s.now) + ",\n";
    out += "  \"startedAt\": " + number(s.startedAt) + ",\n";
    out += "  \"agentId\": " + (s.haveAgentId ? number(s.agentId) : std::string("null")) + ",\n";
    out += "  \"server\": {\"up\": " + std::string(s.server.up ? "true" : "false") +
           ", \"lastSuccess\": " + number(s.server.lastSuccess) + ", \"lastFailure\": " +
           number(s.server.lastFailure) + ", \"lastError\": " + jsonString(s.server.lastError) + "},\n";
    out += "  \"hosts\": [";
    for (std::size_t i = 0; i < s.hosts.size(); ++i) {
        const HostStatus& h = s.hosts[i];
        const std::int64_t lag = lagOf(h, s.now);
        out += i ? ",\n" : "\n";
        out += "    {\"id\": " + number(h.id) + ", \"name\": " + jsonString(h.name) +
               ", \"lastRunStart\": " + number(h.run.lastRunStart) + ", \"lastRunEnd\": " + number(h.run.lastRunEnd) +
               ", \"lastStatus\": " + number(h.status) + ", \"lastError\": " + jsonString(hostError(h.run)) +
               ", \"consecutiveFailures\": " + number(h.run.consecutiveFailures) +
               ", \"newestEventTime\": " + number(h.run.newestEventTime) +
               ", \"lagSeconds\": " + (lag < 0 ? std::string("null") : number(lag)) +
               ", \"intervalSeconds\": " + number(h.intervalSeconds) +
               ", \"eventsCollected\": " + unsignedNumber(h.run.eventsCollected) +
               ", \"eventsFiltered\": " + unsignedNumber(h.run.eventsFiltered) +
               ", \"recordGaps\": " + unsignedNumber(h.run.recordGaps) +
               ", \"lastGapTime\": " + number(h.run.lastGapTime) + ", \"nextScan\": " + number(h.nextScan) + "}";
    }
    out += s.hosts.empty() ? "],\n" : "\n  ],\n";
    out += "  \"transfers\": {";
    for (std::size_t i = 0; i < kDataSetCount; ++i) {
        const DataSetTransferState& t = s.transfers[i];
        out += i ? ",\n" : "\n";
        out += std::string("    \"") + kDataSetNames[i] + "\": {\"lastAttempt\": " + number(t.lastAttempt) +
               ", \"lastSuccess\": " + number(t.lastSuccess) + ", \"lastResult\": " + number(t.lastResult) +
               ", \"consecutiveFailures\": " + number(t.consecutiveFailures) +
               ", \"pendingFiles\": " + number(static_cast<std::int64_t>(t.pendingFiles)) +
               ", \"pendingBytes\": " + unsignedNumber(t.pendingBytes) + "}";
    }
    out += "\n  },\n";
    out += "  \"fim\": {\"gaps\": " + number(s.fimGaps) + ", \"drives\": [";
    for (std::size_t i = 0; i < s.drives.size(); ++i) {
        const DriveStatus& d = s.drives[i];
        out += i ? ",\n" : "\n";
        out += std::string("    {\"letter\": \"") + d.letter + "\", \"journalId\": " + unsignedNumber(d.journalId) +
               ", \"readUsn\": " + number(d.readUsn) + ", \"nextUsn\": " + number(d.nextUsn) +
               ", \"backlogBytes\": " + number(d.nextUsn - d.readUsn) + ", \"gaps\": " + number(d.gaps) +
               ", \"lastGapTime\": " + number(d.lastGapTime) +
               ", \"unwatchedFolders\": " + unsignedNumber(d.unwatchedFolders) +
               ", \"itemsWatched\": " + number(d.itemsWatched) + ", \"lastChangeJob\": " + number(s.lastChangeJob) +
               "}";
    }
    out += s.drives.empty() ? "]},\n" : "\n  ]},\n";
    out += "  \"process\": {";
    if (s.processKnown)
        out += "\"residentBytes\": " + unsignedNumber(s.process.residentBytes) + ", \"cpuSeconds\": " +
               cpuText(s.process.cpuSeconds) + ", \"threads\": " + number(s.process.threads) + ", ";
    out += "\"logLevel\": " + number(s.logLevel) + "}\n";
    out += "}\n";
    return out;
}

std::string MetricsText(const StatusSnapshot& s) {
    std::string out;
    Family(out, "status_written_seconds", "gauge", "When the agent wrote these figures (seconds since 1970).")
        .sample("", number(s.now));
    Family(out, "started_seconds", "gauge", "When the agent started (seconds since 1970).").sample("", number(s.startedAt));
    Family(out, "server_up", "gauge", "1 when the last request to the server was answered 200.")
        .sample("", s.server.up ? "1" : "0");
    Family(out, "server_last_success_seconds", "gauge", "When a request to the server last succeeded.")
        .sample("", number(s.server.lastSuccess));

    struct HostFigure {
        const char* name;
        const char* type;
        const char* help;
        std::int64_t (*value)(const HostStatus&, std::int64_t now);
    };
    static const HostFigure kHostFigures[] = {
        {"host_last_run_start_seconds", "gauge", "When the host's last collection run started.",
         [](const HostStatus& h, std::int64_t) { return h.run.lastRunStart; }},
        {"host_last_run_end_seconds", "gauge", "When the host's last collection run ended.",
         [](const HostStatus& h, std::int64_t) { return h.run.lastRunEnd; }},
        {"host_status", "gauge", "The status code the agent reports for the host (0 collecting).",
         [](const HostStatus& h, std::int64_t) { return static_cast<std::int64_t>(h.status); }},
        {"host_consecutive_failures", "gauge", "Collection runs of the host that failed in a row.",
         [](const HostStatus& h, std::int64_t) { return static_cast<std::int64_t>(h.run.consecutiveFailures); }},
        {"host_newest_event_seconds", "gauge", "Time written of the newest event read from the host.",
         [](const HostStatus& h, std::int64_t) { return h.run.newestEventTime; }},
        {"host_lag_seconds", "gauge", "Seconds since the host's logs were last read to their end (-1: not yet).",
         [](const HostStatus& h, std::int64_t now) { return lagOf(h, now); }},
        {"host_events_collected_total", "counter", "Events read from the host and kept for the server.",
         [](const HostStatus& h, std::int64_t) { return static_cast<std::int64_t>(h.run.eventsCollected); }},
        {"host_events_filtered_total", "counter", "Events read from the host and dropped by a filter rule.",
         [](const HostStatus& h, std::int64_t) { return static_cast<std::int64_t>(h.run.eventsFiltered); }},
        {"host_record_gaps_total", "counter", "Event records the host's logs lost before the agent read them.",
         [](const HostStatus& h, std::int64_t) { return static_cast<std::int64_t>(h.run.recordGaps); }},
        {"host_next_scan_seconds", "gauge", "When the host's next collection run is due.",
         [](const HostStatus& h, std::int64_t) { return h.nextScan; }},
    };
    for (const HostFigure& figure : kHostFigures) {
        if (s.hosts.empty()) break;
        Family family(out, figure.name, figure.type, figure.help);
        for (const HostStatus& h : s.hosts) family.sample(hostLabels(h), number(figure.value(h, s.now)));
    }

    struct SetFigure {
        const char* name;
        const char* help;
        std::int64_t (*value)(const DataSetTransferState&);
    };
    static const SetFigure kSetFigures[] = {
        {"transfer_last_attempt_seconds", "When the data set's last upload began.",
         [](const DataSetTransferState& t) { return t.lastAttempt; }},
        {"transfer_last_success_seconds", "When the data set was last uploaded.",
         [](const DataSetTransferState& t) { return t.lastSuccess; }},
        {"transfer_last_result", "The data set's last upload: 0 uploaded, 1 failed, -1 none yet.",
         [](const DataSetTransferState& t) { return static_cast<std::int64_t>(t.lastResult); }},
        {"transfer_consecutive_failures", "Uploads of the data set that failed in a row.",
         [](const DataSetTransferState& t) { return static_cast<std::int64_t>(t.consecutiveFailures); }},
        {"transfer_pending_files", "Files of the data set waiting to be uploaded.",
         [](const DataSetTransferState& t) { return static_cast<std::int64_t>(t.pendingFiles); }},
        {"transfer_pending_bytes", "Bytes of the data set waiting to be uploaded.",
         [](const DataSetTransferState& t) { return static_cast<std::int64_t>(t.pendingBytes); }},
    };
    for (const SetFigure& figure : kSetFigures) {
        Family family(out, figure.name, "gauge", figure.help);
        for (std::size_t i = 0; i < kDataSetCount; ++i)
            family.sample(std::string("data_set=\"") + kDataSetNames[i] + "\"", number(figure.value(s.transfers[i])));
    }

    Family(out, "fim_journal_gaps_total", "counter", "Times a change journal lost positions before they were read.")
        .sample("", number(s.fimGaps));
    struct DriveFigure {
        const char* name;
        const char* type;
        const char* help;
        std::int64_t (*value)(const DriveStatus&);
    };
    static const DriveFigure kDriveFigures[] = {
        {"drive_read_usn", "gauge", "The drive's journal read position.", [](const DriveStatus& d) { return d.readUsn; }},
        {"drive_backlog_bytes", "gauge", "Journal bytes written and not yet read.",
         [](const DriveStatus& d) { return d.nextUsn - d.readUsn; }},
        {"drive_journal_gaps_total", "counter", "Times the drive's journal lost positions before they were read.",
         [](const DriveStatus& d) { return static_cast<std::int64_t>(d.gaps); }},
        {"drive_unwatched_folders", "gauge", "Folders whose changes cannot be watched (walked instead).",
         [](const DriveStatus& d) { return static_cast<std::int64_t>(d.unwatchedFolders); }},
        {"drive_items_watched", "gauge", "Items watched for changes on the drive.",
         [](const DriveStatus& d) { return d.itemsWatched; }},
    };
    for (const DriveFigure& figure : kDriveFigures) {
        if (s.drives.empty()) break;
        Family family(out, figure.name, figure.type, figure.help);
        for (const DriveStatus& d : s.drives)
            family.sample(std::string("drive=\"") + d.letter + "\"", number(figure.value(d)));
    }
    Family(out, "fim_last_change_job_seconds", "gauge", "When the change job last ended.")
        .sample("", number(s.lastChangeJob));
    if (s.processKnown) {
        Family(out, "process_resident_bytes", "gauge", "Resident memory of the agent.")
            .sample("", unsignedNumber(s.process.residentBytes));
        Family(out, "process_cpu_seconds_total", "counter", "Processor time the agent used, user and system.")
            .sample("", cpuText(s.process.cpuSeconds));
        Family(out, "process_threads", "gauge", "Threads of the agent.").sample("", number(s.process.threads));
    }
    Family(out, "log_level", "gauge", "The agent's log level.").sample("", number(s.logLevel));
    return out;
}

bool WriteStatusFile(const StatusSnapshot* hostsAndDrives) {
    StatusSnapshot snapshot = TakeStatusSnapshot(platform::nowSeconds());
    if (hostsAndDrives) {
        snapshot.hosts = hostsAndDrives->hosts;
        snapshot.drives = hostsAndDrives->drives;
    }
    const std::string metricsPath = GetAgentSetting("MetricsFile").value_or("");
    const std::string statusPath = AgentLogDir() + kStatusName;
    std::lock_guard<std::mutex> guard(g_writeLock);
    bool ok = reportWrite(statusPath, writeAside(statusPath, StatusFileText(snapshot), false), g_statusFailing);
    if (!metricsPath.empty())
        ok = reportWrite(metricsPath, writeAside(metricsPath, MetricsText(snapshot), true), g_metricsFailing) && ok;
    return ok;
}

bool ScheduleStatusFile() {
    const auto first = static_cast<std::uint32_t>(platform::nowSeconds());
    return scheduleEntry(nullptr, first, [] { WriteStatusFile(); },
                         makePeriodic(kStatusIntervalSeconds, kUnitSeconds, -1)) != 0;
}
