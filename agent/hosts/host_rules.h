// Filter and notification rules of the monitored hosts.
//
// The server keeps the rules in a small relational model (HostFilter,
// SyslogFilter, Filter2Criteria, LACriteria2Expressions, LAExpression,
// HostNotification, NotificationType, ...) that arrives as table dumps. This
// module turns those rows into per-host rule lists held in the host slots and
// releases them again. The matching of events against them lives with the
// collectors (agent/collection/event_matching.h).
//
// Every list is newest first: each element read is put in front of the ones
// read before it, so rules added to a host later stand before its earlier ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct HostSlot;

// Column kinds of an expression (one bit each).
inline constexpr std::int32_t kColumnSeverity = 1;
inline constexpr std::int32_t kColumnMessage = 2;
inline constexpr std::int32_t kColumnSource = 4;
inline constexpr std::int32_t kColumnEventId = 8;
inline constexpr std::int32_t kColumnUserName = 16;
inline constexpr std::int32_t kColumnExcludeEventId = 32;

// The criterion type and notification type code that stand for every log.
inline constexpr std::int32_t kAnyLogType = 255;
inline constexpr std::int32_t kAnySeverity = 255;

struct EventIdRange {
    std::int32_t from = 0;
    std::int32_t to = 0;
};

struct RuleExpression {
    std::int64_t expressionId = 0;
    std::int32_t columnKind = 0;
    std::int32_t comparator = 1;  // message expressions: 1 to 4
    std::int32_t severity = -1;   // severity expressions: severityCode of VALUE
    // Message: include values before the first "|", exclude values after it.
    // Source and user name: the include values. None when the expression has no such list.
    std::optional<std::vector<std::string>> includeValues;
    std::optional<std::vector<std::string>> excludeValues;
    std::vector<std::int32_t> eventIds;            // EVENTID
    std::vector<EventIdRange> eventIdRanges;
    std::vector<std::int32_t> excludedEventIds;    // EXCLUDEEVENTID
    std::vector<EventIdRange> excludedEventIdRanges;
};

struct FilterCriterion {
    std::int64_t criterionId = 0;
    std::int32_t criterionType = 0;  // a log type number, or 255 for any log
    std::vector<RuleExpression> expressions;  // newest first
};

struct FilterRule {
    std::int64_t filterId = 0;
    std::vector<FilterCriterion> criteria;  // newest first
    std::int32_t columnMask = 0;            // or of every expression's column kind
};

struct NotificationRule {
    std::int64_t notificationId = 0;
    std::vector<std::int32_t> logTypeCodes;  // from TYPE by splitTypeCodes
    std::int32_t columnMask = 0;
    std::int32_t occurrenceThreshold = 0;    // NOOFOCCURRENCE
    std::int32_t occurrenceCounter = 0;
    std::int32_t interval = 0;               // NOTIFINTERVAL, seconds
    std::vector<std::int32_t> occurrences;   // event times, ascending (kept by the matching)
    std::int32_t lastNotifiedTime = 0;       // 0: never notified
    std::vector<RuleExpression> expressions; // newest first
};

// Severity name -> code: "Error" 1, "Warning" 2, "Information" 3,
// "Success"/"Success Audit" 4, "Failure"/"Failure Audit" 5, "Any" 255, else -1.
std::int32_t severityCode(std::string_view text);
// The column kind of a COLUMN_NAME, 0 for a name outside the table.
std::int32_t columnKindOf(std::string_view columnName);
// Items between commas; empty items vanish, blanks are kept.
std::vector<std::string> splitCommaList(std::string_view text);
// Single ids and "from-to" ranges of a comma list.
void parseEventIdList(std::string_view text, std::vector<std::int32_t>& ids,
                      std::vector<EventIdRange>& ranges, bool excluded = false);
// Notification log type codes: 255, 256 and values below 100 stand alone;
// larger values are read as base-100 digits, least significant first
// (10203 gives 3, 2, 1). The vector's end stands for the list's -1 end mark.
std::vector<std::int32_t> splitTypeCodes(std::int32_t type);
// The GROUPID of the last HostGroupMapping row of the host, 0 when none.
std::int64_t hostGroupId(std::int64_t hostId);
// The expressions of a criteria (or of a notification, by its NOTIFID).
std::vector<RuleExpression> buildExpressions(std::int64_t criteriaId);

// Builders over the staging tables now loaded: they add to the slot's lists
// (without emptying them first).
void buildHostFilters(HostSlot& slot);
void buildHostNotifications(HostSlot& slot);

// Start-up loads for every slot in use.
void loadAllHostFilters();
void loadAllHostNotifications();
// Replace one host's rules with a fresh fetch. When a collection of the host
// is running, the new lists are kept aside and installed when it ends.
void refreshHostFilters(HostSlot* slot);
void refreshHostNotifications(HostSlot* slot);
// Release a slot's rules (logging each filter id).
void deleteHostFilters(HostSlot& slot);
void deleteHostNotifications(HostSlot& slot);
