// What each host's collection runs did, for the status file and the metrics:
// when the last run started and ended, how it ended, what it read, and the
// records the host's logs lost before they were read (numbers missing
// between consecutive RecordNumbers of one log). One record per host slot,
// started afresh when the slot holds another host. Nothing of it goes to the
// server.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct HostRunRecord {
    std::int64_t hostId = 0;
    std::int64_t lastRunStart = 0;  // clock seconds; 0: no run yet
    std::int64_t lastRunEnd = 0;
    std::uint32_t lastResult = 0;   // the run's last COM result
    bool lastRunFailed = false;
    std::int32_t consecutiveFailures = 0;
    std::int64_t newestEventTime = 0;  // TimeWritten of the newest event read, seconds since 1970
    // The start of the last run that read the host's logs to their end:
    // everything written before it has been read.
    std::int64_t readThrough = 0;
    std::uint64_t eventsCollected = 0;  // kept for the server
    std::uint64_t eventsFiltered = 0;   // dropped by a filter rule
    std::uint64_t recordGaps = 0;
    std::int64_t lastGapTime = 0;       // clock seconds the last missing records were seen
    std::map<std::string, std::int64_t> newestRecord;  // by log: the highest RecordNumber read
};

// What one run read and how it ended.
struct HostRunReport {
    std::int64_t start = 0;
    std::uint32_t result = 0;
    bool failed = false;
    bool readToEnd = false;  // the enumeration ended (no time-out, no failure)
    std::uint64_t collected = 0;
    std::uint64_t filtered = 0;
    std::int64_t newestEventTime = 0;
    std::map<std::string, std::vector<std::int64_t>> recordNumbers;  // by log, as read
};

// The records missing in `numbers` (by log) between consecutive record
// numbers and after the highest read before (`newest`, which moves on to the
// highest now read). A log whose numbers fall below what was read before was
// cleared: it counts from its new numbers on.
std::uint64_t countRecordGaps(std::map<std::string, std::int64_t>& newest,
                              const std::map<std::string, std::vector<std::int64_t>>& numbers);

void noteHostRunStarted(int slot, std::int64_t hostId, std::int64_t now);
void noteHostRunEnded(int slot, std::int64_t hostId, const HostRunReport& report, std::int64_t now);
// The record of the host in the slot (an empty one for another host).
HostRunRecord hostRunRecord(int slot, std::int64_t hostId);
