// Internals shared by the host cache, the rule loaders and the update poll:
// column readers and the changes that wait for a running collection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "agent/hosts/host_cache.h"
#include "agent/tablestore/imds.h"

namespace hosts_internal {

// Column values of the row under the result's cursor; none for a missing
// column or a NULL value.
std::optional<std::string> readText(const ResultData* result, const char* column);
std::optional<std::int64_t> readInteger(const ResultData* result, const char* column);

// A table dump request as FetchTableData makes it, answering whether the
// server answered (an empty answer is an answer without rows).
bool fetchTables(const std::string& url, bool* emptyAnswer = nullptr);

// "COLUMN = id" criteria text.
std::string idCriteria(const char* column, std::int64_t id);

// Which optional details came with the last fillHostDetails.
struct DetailsPresence {
    bool status = false;
    bool lastMessageTime = false;
};
void fillHostDetails(HostSlot& slot, const ResultData* detailsRow, DetailsPresence& presence);

enum class ChangeKind {
    Details,        // the fields from the Hosts and HostDetails rows
    Filters,        // replace the filter list
    Notifications,  // replace the notification list
    RearmTimer,     // drop the old timer, first run 10 s later
    Remove,         // free the slot
};

struct HostChange {
    ChangeKind kind = ChangeKind::Details;
    HostSlot values;  // Details: the new fields; Filters / Notifications: the new lists
    DetailsPresence presence;
};

// Copies the fields that the main thread owns (ids, names, credentials,
// interval, collection flag) from one slot record to another.
void copyConfigFields(const HostSlot& from, HostSlot& to);
// Reads those fields of a live slot under its guard.
void snapshotConfigFields(HostSlot& slot, HostSlot& to);
// Installs the change now when no collection runs on the slot, otherwise
// keeps it for endHostCollection. Answers true when it was installed now.
bool commitHostChange(HostSlot& slot, HostChange change);

}  // namespace hosts_internal
