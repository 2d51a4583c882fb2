// Building the per-host filter and notification rule lists from the rule
// tables of the server's dumps.

#include "agent/hosts/host_rules.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "agent/hosts/host_cache.h"
#include "agent/hosts/host_internal.h"
#include "agent/server/http_client.h"
#include "agent/server/protocol.h"
#include "agent/settings/settings.h"
#include "agent/tablestore/imds.h"
#include "common/log.h"

using namespace hosts_internal;

namespace {

constexpr const char* kFilterStagingTables[] = {"HostFilter",   "HostGroupFilter", "HostGroupMapping",
                                                "SyslogFilter", "Filter2Criteria", "LACriteria",
                                                "LACriteria2Expressions", "LAExpression"};
constexpr const char* kNotificationStagingTables[] = {"NotificationType", "LACriteria",
                                                      "LACriteria2Expressions", "LAExpression",
                                                      "HostNotification", "HostGroupNotification",
                                                      "HostGroupMapping"};

template <std::size_t N>
void emptyTables(const char* const (&tables)[N]) {
    for (const char* table : tables) DeleteAllTableRowObjects(table);
}

// The run-time library's decimal-to-integer reading: leading blanks, a sign,
// digits up to the first other character; 0 for none. Kept within 32 bits.
std::int32_t leadingInteger(const std::string& text) {
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<std::int32_t>(v);
}

std::vector<std::string> splitItems(std::string_view text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) comma = text.size();
        if (comma > start) items.emplace_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

template <class Rule>
void pushFront(std::vector<Rule>& list, Rule rule) {
    list.insert(list.begin(), std::move(rule));
}

std::int32_t maskOf(const std::vector<RuleExpression>& expressions) {
    std::int32_t mask = 0;
    for (const auto& e : expressions) mask |= e.columnKind;
    return mask;
}

// Pushes every SyslogFilter row of the selection as a filter of the slot.
void addFilters(HostSlot& slot, std::int64_t filterId) {
    ResultHandle filters = SelectRows("SyslogFilter", idCriteria("ID", filterId).c_str());
    if (!filters) return;
    while (GotoNextRowObject(filters) != nullptr) {
        auto id = readInteger(filters.get(), "ID");
        if (!id) continue;
        FilterRule rule;
        rule.filterId = *id;
        ResultHandle criteria = SelectRows("Filter2Criteria", idCriteria("FILTERID", *id).c_str());
        while (criteria && GotoNextRowObject(criteria) != nullptr) {
            FilterCriterion criterion;
            criterion.criterionId = readInteger(criteria.get(), "CRITERIAID").value_or(0);
            criterion.criterionType =
                static_cast<std::int16_t>(readInteger(criteria.get(), "TYPE").value_or(0));
            criterion.expressions = buildExpressions(criterion.criterionId);
            rule.columnMask |= maskOf(criterion.expressions);
            pushFront(rule.criteria, std::move(criterion));
        }
        FreeResultData(criteria);
        pushFront(slot.filters, std::move(rule));
    }
    FreeResultData(filters);
}

void addNotifications(HostSlot& slot, std::int64_t notificationId) {
    ResultHandle types = SelectRows("NotificationType", idCriteria("NOTIFID", notificationId).c_str());
    if (!types) return;
    while (GotoNextRowObject(types) != nullptr) {
        auto id = readInteger(types.get(), "NOTIFID");
        if (!id) continue;
        NotificationRule rule;
        rule.notificationId = *id;
        LogInfo("\n Got notification ID %lld", static_cast<long long>(*id));
        rule.logTypeCodes =
            splitTypeCodes(static_cast<std::int32_t>(readInteger(types.get(), "TYPE").value_or(0)));
        rule.expressions = buildExpressions(*id);
        rule.columnMask = maskOf(rule.expressions);
        rule.occurrenceThreshold =
            static_cast<std::int32_t>(readInteger(types.get(), "NOOFOCCURRENCE").value_or(0));
        rule.interval = static_cast<std::int32_t>(readInteger(types.get(), "NOTIFINTERVAL").value_or(0));
        pushFront(slot.notifications, std::move(rule));
    }
    FreeResultData(types);
}

// Walks the rows of a host's direct assignment table and then of its group's.
template <class AddFn>
void forEachAssignedRule(std::int64_t hostId, const char* hostTable, const char* groupTable,
                         const char* ruleColumn, AddFn add) {
    auto walk = [&](const char* table, const char* keyColumn, std::int64_t key) {
        ResultHandle rows = SelectRows(table, idCriteria(keyColumn, key).c_str());
        while (rows && GotoNextRowObject(rows) != nullptr)
            if (auto ruleId = readInteger(rows.get(), ruleColumn)) add(*ruleId);
        FreeResultData(rows);
    };
    walk(hostTable, "HOSTID", hostId);
    walk(groupTable, "GROUPID", hostGroupId(hostId));
}

}  // namespace

std::int32_t severityCode(std::string_view text) {
    if (text == "Error") return 1;
    if (text == "Warning") return 2;
    if (text == "Information") return 3;
    if (text == "Success" || text == "Success Audit") return 4;
    if (text == "Failure" || text == "Failure Audit") return 5;
    if (text == "Any") return 255;
    return -1;
}

std::int32_t columnKindOf(std::string_view columnName) {
    if (columnName == "SEVERITY") return kColumnSeverity;
    if (columnName == "MESSAGE") return kColumnMessage;
    if (columnName == "SOURCE") return kColumnSource;
    if (columnName == "EVENTID") return kColumnEventId;
    if (columnName == "USERNAME") return kColumnUserName;
    if (columnName == "EXCLUDEEVENTID") return kColumnExcludeEventId;
    return 0;
}

std::vector<std::string> splitCommaList(std::string_view text) {
    std::vector<std::string> items = splitItems(text);
    LogInfo("\n List of CSValues: ");
    for (const auto& item : items) LogInfo("%s, ", item.c_str());
    return items;
}

void parseEventIdList(std::string_view text, std::vector<std::int32_t>& ids, std::vector<EventIdRange>& ranges,
                      bool excluded) {
    for (const auto& item : splitItems(text)) {
        const std::size_t dash = item.find('-');
        if (dash == std::string::npos) {
            ids.push_back(leadingInteger(item));
        } else {
            ranges.push_back({leadingInteger(item.substr(0, dash)), leadingInteger(item.substr(dash + 1))});
        }
    }
    LogInfo(excluded ? "\nList of exclude events: " : "\nList of events: ");
    for (std::int32_t id : ids) LogInfo("%d, ", id);
    LogInfo(excluded ? "\nRange of exclude events: " : "\nRange of events: ");
    for (const auto& r : ranges) LogInfo("%d-%d, ", r.from, r.to);
}

std::vector<std::int32_t> splitTypeCodes(std::int32_t type) {
    std::vector<std::int32_t> codes;
    if (type == 255 || type == 256 || type < 100) {
        codes.push_back(type);
    } else {
        for (std::int32_t rest = type; rest > 0; rest /= 100) codes.push_back(rest % 100);
    }
    return codes;
}

std::int64_t hostGroupId(std::int64_t hostId) {
    std::int64_t group = 0;
    ResultHandle rows = SelectRows("HostGroupMapping", idCriteria("HOSTID", hostId).c_str());
    while (rows && GotoNextRowObject(rows) != nullptr)
        if (auto g = readInteger(rows.get(), "GROUPID")) group = *g;
    FreeResultData(rows);
    return group;
}

std::vector<RuleExpression> buildExpressions(std::int64_t criteriaId) {
    std::vector<RuleExpression> expressions;
    ResultHandle links = SelectRows("LACriteria2Expressions", idCriteria("CRIT_ID", criteriaId).c_str());
    while (links && GotoNextRowObject(links) != nullptr) {
        auto expId = readInteger(links.get(), "EXP_ID");
        if (!expId) continue;
        ResultHandle rows = SelectRows("LAExpression", idCriteria("EXP_ID", *expId).c_str());
        while (rows && GotoNextRowObject(rows) != nullptr) {
            RuleExpression e;
            e.expressionId = readInteger(rows.get(), "EXP_ID").value_or(*expId);
            e.columnKind = columnKindOf(readText(rows.get(), "COLUMN_NAME").value_or(""));
            if (e.columnKind == 0) continue;  // a column the matching does not know
            const std::optional<std::string> value = readText(rows.get(), "VALUE");
            const std::string text = value.value_or("");
            switch (e.columnKind) {
            case kColumnSeverity:
                e.severity = severityCode(text);
                LogInfo("\n Got severity %d", e.severity);
                break;
            case kColumnMessage: {
                if (value) {
                    const std::size_t bar = text.find('|');
                    const std::string include = text.substr(0, bar);
                    if (bar != 0) e.includeValues = splitCommaList(include);
                    if (bar != std::string::npos) e.excludeValues = splitCommaList(text.substr(bar + 1));
                }
                const std::string comparator = readText(rows.get(), "COMPARATOR").value_or("");
                const char first = comparator.empty() ? '\0' : comparator[0];
                e.comparator = (first == '2' || first == '3' || first == '4') ? first - '0' : 1;
                break;
            }
            case kColumnSource:
            case kColumnUserName:
                if (value) e.includeValues = splitCommaList(text);
                break;
            case kColumnEventId:
                parseEventIdList(text, e.eventIds, e.eventIdRanges, false);
                break;
            case kColumnExcludeEventId:
                parseEventIdList(text, e.excludedEventIds, e.excludedEventIdRanges, true);
                break;
            }
            pushFront(expressions, std::move(e));
        }
        FreeResultData(rows);
    }
    FreeResultData(links);
    return expressions;
}

void buildHostFilters(HostSlot& slot) {
    forEachAssignedRule(slot.hostId, "HostFilter", "HostGroupFilter", "FILTERID",
                        [&](std::int64_t filterId) { addFilters(slot, filterId); });
}

void buildHostNotifications(HostSlot& slot) {
    LogInfo("\n Getting notifications for Host %lld", static_cast<long long>(slot.hostId));
    forEachAssignedRule(slot.hostId, "HostNotification", "HostGroupNotification", "NOTIFID",
                        [&](std::int64_t notificationId) { addNotifications(slot, notificationId); });
}

// The loads for all hosts run at start-up, before the first timer is armed,
// so no collection uses the lists they extend.
void loadAllHostFilters() {
    LogInfo("n In Get All Filters");
    FetchTableData(RequestUrl<Request::FiltersForAgent>(AgentId()));
    for (int s = 0; s < MAX_HOSTS; ++s)
        withHostSlot(hostSlot(s), [](HostSlot& slot) {
            if (slot.inUse != 0) buildHostFilters(slot);
        });
    emptyTables(kFilterStagingTables);
}

void loadAllHostNotifications() {
    FetchTableData(RequestUrl<Request::NotificationsForAgent>(AgentId()));
    for (int s = 0; s < MAX_HOSTS; ++s)
        withHostSlot(hostSlot(s), [](HostSlot& slot) {
            if (slot.inUse != 0) buildHostNotifications(slot);
        });
    emptyTables(kNotificationStagingTables);
}

namespace {

// A refresh builds the new list apart from the slot and installs it as one
// change, which waits for the end of a collection that is using the old one.
// A failed request keeps the rules the host has: dropping them would store
// what the filters drop, or miss alerts, until the next change.
template <Request R, std::size_t N>
void refreshRules(HostSlot* slot, ChangeKind kind, const char* what, void (*build)(HostSlot&),
                  const char* const (&stagingTables)[N]) {
    if (slot == nullptr) return;
    HostChange change{kind, {}, {}};
    snapshotConfigFields(*slot, change.values);
    const bool answered = fetchTables(RequestUrl<R>(change.values.hostId));
    if (answered) {
        build(change.values);
    } else {
        LogError("\n Fetching %s for host %lld failed, its current %s are kept", what,
                 static_cast<long long>(change.values.hostId), what);
    }
    emptyTables(stagingTables);
    if (answered) commitHostChange(*slot, std::move(change));
}

}  // namespace

void refreshHostFilters(HostSlot* slot) {
    refreshRules<Request::FiltersForHost>(slot, ChangeKind::Filters, "filters", buildHostFilters,
                                          kFilterStagingTables);
}

void refreshHostNotifications(HostSlot* slot) {
    refreshRules<Request::NotificationsForHost>(slot, ChangeKind::Notifications, "notifications",
                                                buildHostNotifications, kNotificationStagingTables);
}

void deleteHostFilters(HostSlot& slot) {
    for (const auto& rule : slot.filters)
        LogInfo("\n Deleting filter id %lld", static_cast<long long>(rule.filterId));
    slot.filters.clear();
}

void deleteHostNotifications(HostSlot& slot) { slot.notifications.clear(); }
