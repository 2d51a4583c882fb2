// Filter and notification matching over records and rules built in memory.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/collection/event_matching.h"
#include "agent/collection/event_record.h"
#include "agent/hosts/host_cache.h"
#include "tests/agent/tablestore/test_support.h"

namespace {

RuleExpression severityIs(int severity) {
    RuleExpression e;
    e.columnKind = kColumnSeverity;
    e.severity = severity;
    return e;
}

RuleExpression message(std::vector<std::string> include, std::vector<std::string> exclude, int comparator,
                       bool withInclude = true, bool withExclude = true) {
    RuleExpression e;
    e.columnKind = kColumnMessage;
    e.comparator = comparator;
    if (withInclude) e.includeValues = std::move(include);
    if (withExclude) e.excludeValues = std::move(exclude);
    return e;
}

RuleExpression eventIds(std::vector<std::int32_t> ids, std::vector<EventIdRange> ranges, bool excluded = false) {
    RuleExpression e;
    e.columnKind = excluded ? kColumnExcludeEventId : kColumnEventId;
    (excluded ? e.excludedEventIds : e.eventIds) = std::move(ids);
    (excluded ? e.excludedEventIdRanges : e.eventIdRanges) = std::move(ranges);
    return e;
}

FilterRule filter(std::int64_t id, std::vector<FilterCriterion> criteria) {
    FilterRule f;
    f.filterId = id;
    f.criteria = std::move(criteria);
    for (const auto& c : f.criteria)
        for (const auto& e : c.expressions) f.columnMask |= e.columnKind;
    return f;
}

FilterCriterion criterion(int type, std::vector<RuleExpression> expressions) {
    FilterCriterion c;
    c.criterionType = type;
    c.expressions = std::move(expressions);
    return c;
}

NotificationRule notification(std::int64_t id, int threshold, int interval, std::vector<RuleExpression> expressions = {},
                              std::vector<std::int32_t> types = {255}) {
    NotificationRule n;
    n.notificationId = id;
    n.occurrenceThreshold = threshold;
    n.interval = interval;
    n.logTypeCodes = std::move(types);
    n.expressions = std::move(expressions);
    for (const auto& e : n.expressions) n.columnMask |= e.columnKind;
    return n;
}

EventRecord record(int logType, int severity, int eventId, std::string text = "", int time = 1000) {
    EventRecord r;
    r.logTypeId = logType;
    r.severity = severity;
    r.eventId = eventId;
    r.message = std::move(text);
    r.eventTime = time;
    return r;
}

class MatchingTest : public ::testing::Test {
protected:
    HostSlot host;
    ::LogCapture log;
};

TEST_F(MatchingTest, SeverityFiltersNeedTheRecordsOwnTypeAndSeverity) {
    host.filters.push_back(filter(1, {criterion(3, {severityIs(5)}), criterion(255, {severityIs(1)})}));
    EXPECT_TRUE(applyFilters(host, record(3, 5, 4625)));
    EXPECT_FALSE(applyFilters(host, record(3, 4, 4624)));
    // Type 255 does not stand for every log in the severity test.
    EXPECT_FALSE(applyFilters(host, record(2, 1, 7000)));
    EXPECT_TRUE(log.contains("\n Applying filter id : 1"));
    EXPECT_TRUE(log.contains("\n Applying filter over."));

    // "Any" in an expression is no wildcard either.
    host.filters = {filter(2, {criterion(3, {severityIs(kAnySeverity)})})};
    EXPECT_FALSE(applyFilters(host, record(3, 4, 4624)));
}

TEST_F(MatchingTest, MessageFiltersOnAnyLogCriteria) {
    host.filters.push_back(filter(1, {criterion(255, {message({"logon failure", "bad password"}, {"test"}, 1)})}));
    EXPECT_TRUE(applyFilters(host, record(3, 5, 4625, "An account: LOGON FAILURE for admin")));
    EXPECT_FALSE(applyFilters(host, record(3, 5, 4625, "logon failure in a test")));
    EXPECT_FALSE(applyFilters(host, record(3, 5, 4625, "nothing of interest")));
    EXPECT_TRUE(log.contains("\n No Message Match"));

    // A criterion of another type is not consulted: it cannot stop the drop.
    host.filters = {filter(2, {criterion(255, {eventIds({4624}, {})}), criterion(2, {eventIds({1}, {})})})};
    EXPECT_TRUE(applyFilters(host, record(3, 4, 4624)));
}

TEST_F(MatchingTest, MessageComparators) {
    const std::string text = "Logon failure: unknown user";
    auto test = [&](RuleExpression e) {
        host.filters = {filter(1, {criterion(255, {std::move(e)})})};
        return applyFilters(host, record(3, 5, 4625, text));
    };
    EXPECT_TRUE(test(message({"failure"}, {"unknown"}, 2)));
    EXPECT_FALSE(test(message({"failure"}, {}, 2, true, false)));  // no exclude list fails "some B"
    EXPECT_TRUE(test(message({"success"}, {"nothing"}, 3)));
    EXPECT_FALSE(test(message({"failure"}, {}, 3, true, false)));
    EXPECT_TRUE(test(message({"success"}, {"user"}, 4)));
    EXPECT_TRUE(test(message({}, {"zzz"}, 1, false)));   // no include list passes
    EXPECT_FALSE(test(message({}, {}, 1, true, false)));  // an empty include list fails
    EXPECT_FALSE(test(message({"failure"}, {}, 7)));
}

TEST_F(MatchingTest, ExcludedIdsKeepTheRecordAndEmptyMasksNeverDrop) {
    host.filters.push_back(
        filter(1, {criterion(255, {eventIds({}, {{4600, 4700}}), eventIds({4634}, {}, true)})}));
    EXPECT_TRUE(applyFilters(host, record(3, 4, 4624)));
    EXPECT_FALSE(applyFilters(host, record(3, 4, 4634)));
    EXPECT_TRUE(log.contains("\n No Exclude Event Id Match"));
    EXPECT_FALSE(applyFilters(host, record(3, 4, 4800)));
    EXPECT_TRUE(log.contains("\n No Event Id Match"));

    host.filters = {filter(2, {criterion(255, {})})};
    EXPECT_EQ(host.filters[0].columnMask, 0);
    EXPECT_FALSE(applyFilters(host, record(3, 4, 4624)));
}

TEST_F(MatchingTest, SourceAndUserNeedAnIncludeValue) {
    RuleExpression source;
    source.columnKind = kColumnSource;
    source.includeValues = std::vector<std::string>{"kerberos"};
    RuleExpression user;
    user.columnKind = kColumnUserName;
    host.filters = {filter(1, {criterion(255, {source})})};
    EventRecord r = record(3, 4, 4768);
    r.source = "Microsoft-Windows-Security-Kerberos";
    EXPECT_TRUE(applyFilters(host, r));
    host.filters = {filter(1, {criterion(255, {user})})};
    EXPECT_FALSE(applyFilters(host, r));
    EXPECT_TRUE(log.contains("\n No User Match"));
}

TEST_F(MatchingTest, ThresholdWithoutWindowCountsMatchingEvents) {
    host.notifications.push_back(notification(5, 3, 30, {eventIds({4625}, {})}));
    std::vector<int> notified;
    const int times[] = {500, 10, 99999, 7, 7, 1, 1, 1000000, 3, 3};
    for (int i = 0; i < 10; ++i) {
        EventRecord r = record(3, 5, 4625, "", times[i]);
        applyNotifications(host, r);
        if (r.notifiedIds == "5,") notified.push_back(i + 1);
    }
    EXPECT_EQ(notified, (std::vector<int>{3, 6, 9}));
    // An event that fails the expressions does not count.
    EventRecord other = record(3, 5, 4624);
    applyNotifications(host, other);
    EXPECT_EQ(other.notifiedIds, "");
    EXPECT_TRUE(log.contains("\n Notification successful notifid:5"));
}

TEST_F(MatchingTest, TimeWindowNeedsThresholdEventsAndAQuietInterval) {
    host.notifications.push_back(notification(7, 3, 600));
    auto fires = [&](int t) {
        EventRecord r = record(3, 5, 4625, "", t);
        applyNotifications(host, r);
        return r.notifiedIds == "7,";
    };
    EXPECT_FALSE(fires(1000));
    EXPECT_FALSE(fires(1100));
    EXPECT_TRUE(fires(1200));  // the third within ten minutes
    // Three more within a window, but not ten minutes since the notification.
    EXPECT_FALSE(fires(1300));
    EXPECT_FALSE(fires(1400));
    EXPECT_FALSE(fires(1500));
    EXPECT_FALSE(fires(1700));
    EXPECT_TRUE(fires(1800));
    // Spread-out events never gather three in a window.
    EXPECT_FALSE(fires(2500));
    EXPECT_FALSE(fires(3200));
    EXPECT_FALSE(fires(3900));
    // Old events replayed out of order are sorted into the window.
    NotificationRule& rule = host.notifications[0];
    rule.occurrences = {100, 300};
    EXPECT_FALSE(occurrenceTest(rule, 200));
    EXPECT_EQ(rule.occurrences, (std::vector<std::int32_t>{100, 200, 300}));
}

TEST_F(MatchingTest, TypeAndSeverityTestsOfNotifications) {
    host.notifications.push_back(notification(2, 0, 0, {severityIs(kAnySeverity)}, {3}));
    host.notifications.push_back(notification(1, 0, 0, {severityIs(1)}, {2, 1}));
    EventRecord r = record(1, 1, 100);
    applyNotifications(host, r);
    EXPECT_EQ(r.notifiedIds, "1,");
    r = record(3, 4, 100);
    applyNotifications(host, r);
    EXPECT_EQ(r.notifiedIds, "2,");
    r = record(2, 2, 100);
    applyNotifications(host, r);
    EXPECT_EQ(r.notifiedIds, "");
    EXPECT_TRUE(log.contains("\n No Severity Match"));
    EXPECT_TRUE(log.contains("\n No Type match"));
}

TEST_F(MatchingTest, NotifiedIdsInListOrderAndCutAt99Characters) {
    host.notifications.push_back(notification(301, 1, 0));
    host.notifications.push_back(notification(302, 1, 0));
    EventRecord r = record(3, 4, 1);
    applyNotifications(host, r);
    EXPECT_EQ(r.notifiedIds, "301,302,");
    EXPECT_TRUE(log.contains("\n Notified ids : 301,302,"));

    host.notifications.clear();
    for (int i = 0; i < 12; ++i) host.notifications.push_back(notification(1000000000LL + i, 1, 0));
    applyNotifications(host, r);
    // Nine ids of eleven characters fit in 99; the rest are left out whole.
    EXPECT_EQ(r.notifiedIds.size(), 99u);
    EXPECT_EQ(r.notifiedIds.substr(88), "1000000008,");
}

TEST(ContainsTest, IgnoresAsciiCaseOnly) {
    EXPECT_TRUE(containsIgnoringCase("Hello World", "WORLD"));
    EXPECT_FALSE(containsIgnoringCase("Wor", "World"));
    EXPECT_TRUE(containsIgnoringCase("", ""));
    EXPECT_FALSE(containsIgnoringCase("", "a"));
    EXPECT_FALSE(containsIgnoringCase("\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9"));
}

}  // namespace
