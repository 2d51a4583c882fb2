// The rule model: value parsing, list orders, group rules and masks, built
// from rule dumps loaded into the staging tables; and the password decoding.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "agent/hosts/host_cache.h"
#include "agent/hosts/host_rules.h"
#include "agent/tablestore/imds.h"
#include "agent/tablestore/table_loader.h"
#include "tests/agent/hosts/hosts_fixture.h"

using namespace hosts_test;

namespace {

class RulesTest : public ::testing::Test {
protected:
    void SetUp() override { resetAgentState(1); }
    void TearDown() override { platform::useSystemClock(); }
    void load(const std::string& xml) { loadTableDataFromMemory(xml.data(), xml.size()); }
    // Builds host 17's filters from a dump that holds one expression.
    RuleExpression singleExpression(const std::string& column, const std::string& value,
                                    const std::string& comparator = "1") {
        emptyStagingTables();
        load(R"(<F><HostFilter HOSTID="17" FILTERID="1"/><SyslogFilter ID="1"/>
             <Filter2Criteria FILTERID="1" CRITERIAID="2" TYPE="255"/>
             <LACriteria2Expressions CRIT_ID="2" EXP_ID="3"/>
             <LAExpression EXP_ID="3" COLUMN_NAME=")" + column + R"(" VALUE=")" + value +
             R"(" COMPARATOR=")" + comparator + R"("/></F>)");
        HostSlot slot;
        slot.hostId = 17;
        buildHostFilters(slot);
        EXPECT_EQ(slot.filters.size(), 1u);
        EXPECT_EQ(slot.filters.at(0).criteria.size(), 1u);
        EXPECT_EQ(slot.filters.at(0).criteria.at(0).expressions.size(), 1u);
        return slot.filters.at(0).criteria.at(0).expressions.at(0);
    }
    ::LogCapture log;
};

TEST_F(RulesTest, EventIdListsGiveIdsAndRanges) {
    RuleExpression e = singleExpression("EVENTID", "4624,4625-4634,,4800");
    EXPECT_EQ(e.columnKind, kColumnEventId);
    EXPECT_EQ(e.eventIds, (std::vector<std::int32_t>{4624, 4800}));
    ASSERT_EQ(e.eventIdRanges.size(), 1u);
    EXPECT_EQ(e.eventIdRanges[0].from, 4625);
    EXPECT_EQ(e.eventIdRanges[0].to, 4634);
    EXPECT_TRUE(log.contains("\nList of events: 4624, 4800, \nRange of events: 4625-4634, "));

    std::vector<std::int32_t> ids;
    std::vector<EventIdRange> ranges;
    parseEventIdList("abc,12x,-7", ids, ranges, true);
    EXPECT_EQ(ids, (std::vector<std::int32_t>{0, 12}));
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].from, 0);
    EXPECT_EQ(ranges[0].to, 7);
    EXPECT_TRUE(log.contains("\nList of exclude events: "));
}

TEST_F(RulesTest, MessageValuesSplitIntoIncludeAndExcludeParts) {
    RuleExpression e = singleExpression("MESSAGE", "logon failure,bad password|test", "3");
    ASSERT_TRUE(e.includeValues && e.excludeValues);
    EXPECT_EQ(*e.includeValues, (std::vector<std::string>{"logon failure", "bad password"}));
    EXPECT_EQ(*e.excludeValues, (std::vector<std::string>{"test"}));
    EXPECT_EQ(e.comparator, 3);

    e = singleExpression("MESSAGE", "|test", "x");
    EXPECT_FALSE(e.includeValues);
    EXPECT_EQ(*e.excludeValues, (std::vector<std::string>{"test"}));
    EXPECT_EQ(e.comparator, 1);

    e = singleExpression("MESSAGE", "a, b", "4");
    EXPECT_EQ(*e.includeValues, (std::vector<std::string>{"a", " b"}));
    EXPECT_FALSE(e.excludeValues);
}

TEST_F(RulesTest, SeverityNamesAreExact) {
    EXPECT_EQ(singleExpression("SEVERITY", " Error").severity, -1);
    EXPECT_EQ(severityCode("Error"), 1);
    EXPECT_EQ(severityCode("Warning"), 2);
    EXPECT_EQ(severityCode("Information"), 3);
    EXPECT_EQ(severityCode("Success Audit"), 4);
    EXPECT_EQ(severityCode("Failure"), 5);
    EXPECT_EQ(severityCode("Any"), 255);
    EXPECT_EQ(severityCode("error"), -1);
}

TEST_F(RulesTest, TypeCodesAreBaseHundredDigits) {
    EXPECT_EQ(splitTypeCodes(102), (std::vector<std::int32_t>{2, 1}));
    EXPECT_EQ(splitTypeCodes(99), (std::vector<std::int32_t>{99}));
    EXPECT_EQ(splitTypeCodes(256), (std::vector<std::int32_t>{256}));
    EXPECT_EQ(splitTypeCodes(255), (std::vector<std::int32_t>{255}));
    EXPECT_EQ(splitTypeCodes(10203), (std::vector<std::int32_t>{3, 2, 1}));
    EXPECT_EQ(splitTypeCodes(1000), (std::vector<std::int32_t>{0, 10}));
}

TEST_F(RulesTest, UnknownColumnsAreDroppedAndMasksCombineKinds) {
    load(R"(<F><HostFilter HOSTID="17" FILTERID="1"/><SyslogFilter ID="1"/>
         <Filter2Criteria FILTERID="1" CRITERIAID="2" TYPE="3"/>
         <Filter2Criteria FILTERID="1" CRITERIAID="4" TYPE="255"/>
         <LACriteria2Expressions CRIT_ID="2" EXP_ID="10"/>
         <LACriteria2Expressions CRIT_ID="4" EXP_ID="11"/>
         <LACriteria2Expressions CRIT_ID="4" EXP_ID="12"/>
         <LAExpression EXP_ID="10" COLUMN_NAME="SEVERITY" VALUE="Warning"/>
         <LAExpression EXP_ID="11" COLUMN_NAME="SOURCE" VALUE="Kerberos,NTLM"/>
         <LAExpression EXP_ID="12" COLUMN_NAME="severity" VALUE="Error"/></F>)");
    HostSlot slot;
    slot.hostId = 17;
    buildHostFilters(slot);
    ASSERT_EQ(slot.filters.size(), 1u);
    const FilterRule& rule = slot.filters[0];
    EXPECT_EQ(rule.columnMask, kColumnSeverity | kColumnSource);
    ASSERT_EQ(rule.criteria.size(), 2u);
    // Newest first: criterion 4 was read last.
    EXPECT_EQ(rule.criteria[0].criterionId, 4);
    EXPECT_EQ(rule.criteria[0].criterionType, 255);
    ASSERT_EQ(rule.criteria[0].expressions.size(), 1u);
    EXPECT_EQ(*rule.criteria[0].expressions[0].includeValues, (std::vector<std::string>{"Kerberos", "NTLM"}));
    EXPECT_EQ(rule.criteria[1].expressions[0].severity, 2);
}

TEST_F(RulesTest, HostAndGroupRulesStandNewestFirst) {
    load(R"(<F><HostFilter HOSTID="17" FILTERID="1"/><HostFilter HOSTID="17" FILTERID="2"/>
         <HostFilter HOSTID="18" FILTERID="3"/>
         <HostGroupMapping HOSTID="17" GROUPID="5"/><HostGroupFilter GROUPID="5" FILTERID="4"/>
         <HostGroupFilter GROUPID="0" FILTERID="6"/>
         <SyslogFilter ID="1"/><SyslogFilter ID="2"/><SyslogFilter ID="3"/><SyslogFilter ID="4"/>
         <SyslogFilter ID="6"/></F>)");
    HostSlot grouped;
    grouped.hostId = 17;
    buildHostFilters(grouped);
    std::vector<std::int64_t> ids;
    for (const auto& f : grouped.filters) ids.push_back(f.filterId);
    EXPECT_EQ(ids, (std::vector<std::int64_t>{4, 2, 1}));

    // A host mapped to no group gets group 0's filters.
    HostSlot ungrouped;
    ungrouped.hostId = 18;
    buildHostFilters(ungrouped);
    ids.clear();
    for (const auto& f : ungrouped.filters) ids.push_back(f.filterId);
    EXPECT_EQ(ids, (std::vector<std::int64_t>{6, 3}));
    EXPECT_EQ(hostGroupId(18), 0);

    // Building again without deleting first doubles the list.
    buildHostFilters(ungrouped);
    EXPECT_EQ(ungrouped.filters.size(), 4u);
    deleteHostFilters(ungrouped);
    EXPECT_TRUE(ungrouped.filters.empty());
    EXPECT_TRUE(log.contains("\n Deleting filter id 6"));
}

TEST_F(RulesTest, NotificationRulesCarryTypesThresholdsAndExpressions) {
    load(R"(<N><HostNotification HOSTID="17" NOTIFID="801"/><HostGroupMapping HOSTID="17" GROUPID="2"/>
         <HostGroupNotification GROUPID="2" NOTIFID="802"/>
         <NotificationType NOTIFID="801" TYPE="102" NOOFOCCURRENCE="3" NOTIFINTERVAL="300"/>
         <NotificationType NOTIFID="802" TYPE="255" NOOFOCCURRENCE="1" NOTIFINTERVAL="0"/>
         <LACriteria2Expressions CRIT_ID="801" EXP_ID="9"/>
         <LAExpression EXP_ID="9" COLUMN_NAME="USERNAME" VALUE="admin"/></N>)");
    HostSlot slot;
    slot.hostId = 17;
    buildHostNotifications(slot);
    ASSERT_EQ(slot.notifications.size(), 2u);
    EXPECT_EQ(slot.notifications[0].notificationId, 802);
    const NotificationRule& rule = slot.notifications[1];
    EXPECT_EQ(rule.logTypeCodes, (std::vector<std::int32_t>{2, 1}));
    EXPECT_EQ(rule.occurrenceThreshold, 3);
    EXPECT_EQ(rule.interval, 300);
    EXPECT_EQ(rule.occurrenceCounter, 0);
    EXPECT_EQ(rule.columnMask, kColumnUserName);
    EXPECT_TRUE(log.contains("\n Getting notifications for Host 17"));
    EXPECT_TRUE(log.contains("\n Got notification ID 801"));
}

TEST(PasswordTest, Base64WithTheMaskRule) {
    ::LogCapture log;
    std::string field = kScrambledSecret;
    decodeHostPassword(field);
    EXPECT_EQ(field, "secret");

    // A "0" in the text at a byte's position leaves that byte unmasked.
    field = "0Hh4";
    decodeHostPassword(field);
    EXPECT_EQ(field, "\xD0" "ee");
    EXPECT_FALSE(log.contains("multiple of 4"));

    // Length 10: reported, still decoded (the short group gives one byte).
    field = "bnh+b3hpYQ";
    decodeHostPassword(field);
    EXPECT_EQ(field, "secret|");
    EXPECT_TRUE(log.contains("Length of Base64 encoded input string is not a multiple of 4."));

    field = "bnh\xC3\xA9";
    decodeHostPassword(field);
    EXPECT_TRUE(log.contains("Illegal character in Base64 encoded data."));

    field = "";
    decodeHostPassword(field);
    EXPECT_EQ(field, "");
}

}  // namespace
