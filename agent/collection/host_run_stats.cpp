#include "agent/collection/host_run_stats.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "agent/hosts/host_cache.h"

namespace {

std::mutex g_lock;
std::array<HostRunRecord, MAX_HOSTS> g_records;

// The slot's record for this host, started afresh for another one; none for
// a slot number out of range. The caller holds g_lock.
HostRunRecord* recordOf(int slot, std::int64_t hostId) {
    if (slot < 0 || slot >= MAX_HOSTS) return nullptr;
    HostRunRecord& r = g_records[static_cast<std::size_t>(slot)];
    if (r.hostId != hostId) {
        r = HostRunRecord{};
        r.hostId = hostId;
    }
    return &r;
}

}  // namespace

std::uint64_t countRecordGaps(std::map<std::string, std::int64_t>& newest,
                              const std::map<std::string, std::vector<std::int64_t>>& numbers) {
    std::uint64_t missing = 0;
    for (const auto& [log, read] : numbers) {
        std::vector<std::int64_t> sorted;
        for (std::int64_t n : read)
            if (n > 0) sorted.push_back(n);
        if (sorted.empty()) continue;
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        const auto known = newest.find(log);
        std::int64_t previous = 0;  // none known
        if (known != newest.end()) {
            previous = known->second;
            // Every number below what was read before: the log was cleared
            // and numbers again from 1.
            if (sorted.back() < previous) previous = 0;
        }
        for (std::int64_t n : sorted) {
            if (n <= previous) continue;
            if (previous > 0) missing += static_cast<std::uint64_t>(n - previous - 1);
            previous = n;
        }
        newest[log] = previous;
    }
    return missing;
}

void noteHostRunStarted(int slot, std::int64_t hostId, std::int64_t now) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (HostRunRecord* r = recordOf(slot, hostId)) r->lastRunStart = now;
}

void noteHostRunEnded(int slot, std::int64_t hostId, const HostRunReport& report, std::int64_t now) {
    std::lock_guard<std::mutex> guard(g_lock);
    HostRunRecord* r = recordOf(slot, hostId);
    if (!r) return;
    r->lastRunStart = report.start;
    r->lastRunEnd = now;
    r->lastResult = report.result;
    r->lastRunFailed = report.failed;
    r->consecutiveFailures = report.failed ? r->consecutiveFailures + 1 : 0;
    if (report.readToEnd && !report.failed) r->readThrough = report.start;
    r->eventsCollected += report.collected;
    r->eventsFiltered += report.filtered;
    r->newestEventTime = std::max(r->newestEventTime, report.newestEventTime);
    const std::uint64_t missing = countRecordGaps(r->newestRecord, report.recordNumbers);
    if (missing > 0) {
        r->recordGaps += missing;
        r->lastGapTime = now;
    }
}

HostRunRecord hostRunRecord(int slot, std::int64_t hostId) {
    std::lock_guard<std::mutex> guard(g_lock);
    const HostRunRecord* r = recordOf(slot, hostId);
    return r ? *r : HostRunRecord{};
}
