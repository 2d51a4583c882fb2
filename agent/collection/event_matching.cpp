// Filter and notification matching.

#include "agent/collection/event_matching.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/collection/event_record.h"
#include "agent/hosts/host_cache.h"
#include "agent/hosts/host_rules.h"
#include "common/log.h"

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

using Values = std::optional<std::vector<std::string>>;

// Some value of the list occurs in the text (an empty list: none does).
bool anyOccurs(const std::vector<std::string>& values, const std::string& text) {
    return std::any_of(values.begin(), values.end(),
                       [&](const std::string& v) { return containsIgnoringCase(text, v); });
}

bool messageMatches(const RuleExpression& e, const std::string& message) {
    const Values& a = e.includeValues;
    const Values& b = e.excludeValues;
    const bool someA = !a || anyOccurs(*a, message);
    const bool noA = !a || !anyOccurs(*a, message);
    const bool noB = !b || !anyOccurs(*b, message);
    const bool someB = b && anyOccurs(*b, message);
    switch (e.comparator) {
    case 1: return someA && noB;
    case 2: return someA && someB;
    case 3: return noA && noB;
    case 4: return noA && someB;
    default: return false;
    }
}

bool idListed(std::int32_t id, const std::vector<std::int32_t>& ids, const std::vector<EventIdRange>& ranges) {
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) return true;
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const EventIdRange& r) { return r.from <= id && id <= r.to; });
}

// Source and user name: some include value occurs (without any, the test fails).
bool includeOccurs(const RuleExpression& e, const std::string& text) {
    return e.includeValues && anyOccurs(*e.includeValues, text);
}

// Every expression passes (severity expressions are tested apart).
bool expressionsMatch(const std::vector<RuleExpression>& expressions, const EventRecord& record) {
    for (const RuleExpression& e : expressions) {
        bool passes = true;
        const char* failure = "";
        switch (e.columnKind) {
        case kColumnMessage:
            passes = messageMatches(e, record.message);
            failure = "\n No Message Match";
            break;
        case kColumnSource:
            passes = includeOccurs(e, record.source);
            failure = "\n No Source Match";
            break;
        case kColumnEventId:
            passes = idListed(record.eventId, e.eventIds, e.eventIdRanges);
            failure = "\n No Event Id Match";
            break;
        case kColumnUserName:
            passes = includeOccurs(e, record.user);
            failure = "\n No User Match";
            break;
        case kColumnExcludeEventId:
            passes = !idListed(record.eventId, e.excludedEventIds, e.excludedEventIdRanges);
            failure = "\n No Exclude Event Id Match";
            break;
        default:
            break;
        }
        if (!passes) {
            LogInfo("%s", failure);
            return false;
        }
    }
    return true;
}

bool hasSeverity(const std::vector<RuleExpression>& expressions, std::int32_t severity, bool anyCounts) {
    return std::any_of(expressions.begin(), expressions.end(), [&](const RuleExpression& e) {
        return e.columnKind == kColumnSeverity && (e.severity == severity || (anyCounts && e.severity == kAnySeverity));
    });
}

}  // namespace

bool containsIgnoringCase(std::string_view text, std::string_view value) {
    if (value.empty()) return true;
    if (text.size() < value.size()) return false;
    auto it = std::search(text.begin(), text.end(), value.begin(), value.end(),
                          [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
    return it != text.end();
}

bool applyFilters(HostSlot& slot, const EventRecord& record) {
    for (const FilterRule& filter : slot.filters) {
        LogInfo("\n Applying filter id : %lld", static_cast<long long>(filter.filterId));
        bool result = true;
        if (filter.columnMask & kColumnSeverity) {
            LogInfo("\n Checking type: %d severity:%d", record.logTypeId, record.severity);
            // The type must be the record's own here: 255 does not stand for any log.
            result = std::any_of(filter.criteria.begin(), filter.criteria.end(), [&](const FilterCriterion& c) {
                return c.criterionType == record.logTypeId && hasSeverity(c.expressions, record.severity, false);
            });
            if (result) LogInfo("\n Expression Match Found");
        }
        if (result && (filter.columnMask & ~kColumnSeverity) != 0) {
            for (const FilterCriterion& c : filter.criteria) {
                if (c.criterionType != kAnyLogType) continue;
                if (!expressionsMatch(c.expressions, record)) {
                    result = false;
                    break;
                }
            }
        }
        if (result && filter.columnMask != 0) return true;
    }
    LogInfo("\n Applying filter over.");
    return false;
}

bool occurrenceTest(NotificationRule& rule, std::int32_t eventTime) {
    if (rule.occurrenceThreshold < 2 || rule.interval <= 60) {
        ++rule.occurrenceCounter;
        return rule.occurrenceCounter >= rule.occurrenceThreshold;
    }
    const std::int64_t t = eventTime;
    auto& list = rule.occurrences;
    // Entries at least one interval older than this event fall out of the window.
    auto keep = std::find_if(list.begin(), list.end(),
                             [&](std::int32_t e) { return t - e < rule.interval; });
    list.erase(list.begin(), keep);
    list.insert(std::upper_bound(list.begin(), list.end(), eventTime), eventTime);
    if (list.size() > static_cast<std::size_t>(rule.occurrenceThreshold)) list.erase(list.begin());
    rule.occurrenceCounter = static_cast<std::int32_t>(list.size());
    if (rule.occurrenceCounter < rule.occurrenceThreshold) return false;
    if (t - rule.lastNotifiedTime < rule.interval) return false;
    list.clear();
    return true;
}

void applyNotifications(HostSlot& slot, EventRecord& record) {
    record.notifiedIds.clear();
    for (NotificationRule& rule : slot.notifications) {
        LogInfo("\n Applying notification :%lld", static_cast<long long>(rule.notificationId));
        bool pass = std::any_of(rule.logTypeCodes.begin(), rule.logTypeCodes.end(), [&](std::int32_t code) {
            return code == kAnyLogType || code == record.logTypeId;
        });
        LogInfo(pass ? "\n Type match found" : "\n No Type match");
        if (pass && (rule.columnMask & kColumnSeverity)) {
            pass = hasSeverity(rule.expressions, record.severity, true);
            LogInfo(pass ? "\n Severity match found" : "\n No Severity Match");
        }
        if (pass && (rule.columnMask & ~kColumnSeverity) != 0) pass = expressionsMatch(rule.expressions, record);
        if (pass && occurrenceTest(rule, record.eventTime)) {
            LogInfo("\n Notification successful notifid:%lld", static_cast<long long>(rule.notificationId));
            rule.occurrenceCounter = 0;
            rule.lastNotifiedTime = record.eventTime;
            // An id that would not fit whole is left out.
            const std::string piece = std::to_string(rule.notificationId) + ",";
            if (record.notifiedIds.size() + piece.size() <= kNotifiedIdsMaxLength) record.notifiedIds += piece;
        }
    }
    LogInfo("\n Notified ids : %s", record.notifiedIds.c_str());
}
