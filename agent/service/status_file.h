// logs/status.json under the install folder: what the agent is doing, for an
// administrator or a monitoring check. Written whole every 10 s of clock
// time and at the stop (written aside, then renamed over the old one), 0600.
// When the REG_SZ value MetricsFile under the agent key names a file, the
// same figures go there too in the Prometheus text format (for the textfile
// collectors of node_exporter and windows_exporter), written the same way.
// Nothing of it goes to the server.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/collection/host_run_stats.h"
#include "agent/fim/volume_monitor.h"
#include "agent/server/http_client.h"
#include "agent/store/transfer_pipeline.h"
#include "platform/process.h"

// One host slot in use.
struct HostStatus {
    std::int64_t id = 0;
    std::string name;                 // the DNS name the host is reached by
    std::int16_t status = 0;          // the status the agent reports for it
    std::int64_t nextScan = 0;        // clock seconds
    std::int64_t intervalSeconds = 0; // MON_INTERVAL; 0 when not set
    HostRunRecord run;
};

// Everything the two files show, taken at one clock time.
struct StatusSnapshot {
    std::int64_t now = 0;
    std::int64_t startedAt = 0;
    bool haveAgentId = false;
    std::int64_t agentId = 0;
    ServerContact server;
    std::vector<HostStatus> hosts;
    std::array<DataSetTransferState, kDataSetCount> transfers{};
    long fimGaps = 0;
    std::vector<DriveStatus> drives;
    std::int64_t lastChangeJob = 0;
    bool processKnown = false;
    platform::ProcessUsage process;
    int logLevel = 0;
};

// Notes the clock time the agent started at (the file's "startedAt").
void NoteAgentStarted();
// Writes the files every 10 s of clock time from now on; false when the
// scheduler took no entry.
bool ScheduleStatusFile();
// Writes the files now; false (with the reason logged) when one could not be.
// With `hostsAndDrives`, its hosts and drives are shown instead of the
// current ones (the stop writes the last status after they are let go).
bool WriteStatusFile(const StatusSnapshot* hostsAndDrives = nullptr);
// The agent's figures now.
StatusSnapshot TakeStatusSnapshot(std::int64_t now);
// The status file's text, and the metrics file's.
std::string StatusFileText(const StatusSnapshot& s);
std::string MetricsText(const StatusSnapshot& s);
