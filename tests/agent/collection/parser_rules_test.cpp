// Parsing rules: loading (good and bad files), finding and applying.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "agent/collection/event_record.h"
#include "agent/collection/parser_rules.h"
#include "common/log.h"
#include "tests/support/log_capture.h"

namespace {

// Captures what the log writers write while it lives.

ParserRuleList load(const std::string& xml, bool* ok = nullptr) {
    ParserRuleList rules;
    bool result = loadParserRulesText(xml, rules);
    if (ok) *ok = result;
    return rules;
}

std::string wrap(const std::string& body) { return "<Rules>" + body + "</Rules>"; }

std::string value(AttributeTable& table, const char* name) {
    const std::string* v = KeyTableGet(table, name);
    return v ? *v : "<absent>";
}

TEST(ParserRuleLookup, IdsAndRangesMatchInclusively) {
    auto rules = load(wrap(R"(<Parser-Rule eventids="528,540,4624-4634"><Attribute key="USER_NAME" index="1"/></Parser-Rule>)"));
    ASSERT_EQ(rules.size(), 1u);
    for (int id : {528, 540, 4624, 4630, 4634}) EXPECT_NE(findParserRule(rules, id, 0), nullptr) << id;
    for (int id : {527, 529, 539, 4623, 4635}) EXPECT_EQ(findParserRule(rules, id, 0), nullptr) << id;
}

TEST(ParserRuleLookup, VersionListRestrictsAndAbsentListServesEveryHost) {
    auto rules = load(wrap(R"(
        <Parser-Rule eventids="560" versions="1,2"><Attribute key="OBJ_NAME" index="3"/></Parser-Rule>
        <Parser-Rule eventids="592"><Attribute key="PROCESS_NAME" index="2"/></Parser-Rule>)"));
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(findParserRule(rules, 560, 0), nullptr);
    EXPECT_EQ(findParserRule(rules, 560, 1), &rules[0]);
    EXPECT_EQ(findParserRule(rules, 560, 2), &rules[0]);
    for (int minor : {0, 1, 2, 3}) EXPECT_EQ(findParserRule(rules, 592, minor), &rules[1]);
}

TEST(ParserRuleLookup, EarlierRuleWinsAndVersionedVariantsFallThrough) {
    auto rules = load(wrap(R"(
        <Parser-Rule eventids="528" versions="1,2"><Attribute key="REMOTEHOST" index="14"/></Parser-Rule>
        <Parser-Rule eventids="500-600"><Attribute key="REMOTEHOST" index="7"/></Parser-Rule>
        <Parser-Rule eventids="528"><Attribute key="REMOTEHOST" index="1"/></Parser-Rule>)"));
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_EQ(findParserRule(rules, 528, 2), &rules[0]);
    EXPECT_EQ(findParserRule(rules, 528, 0), &rules[1]);  // first rule is for XP / 2003 only
}

TEST(ParserRuleApply, IndexedValuesOpenValuesAndMissingStrings) {
    LogCapture log;
    auto rules = load(wrap(R"(
        <Parser-Rule eventids="4624">
          <Attribute key="USER_NAME" index="6"/>
          <Attribute key="DOMAIN" index="7"/>
          <Attribute key="USER_NAME" index="2"/>
          <Attribute key="LOGONTYPE" index="9"/>
          <OpenAttribute key="DOMAIN" value="CORP-FIXED"/>
        </Parser-Rule>)"));
    ASSERT_EQ(rules.size(), 1u);
    // Entries are held newest first.
    ASSERT_EQ(rules[0].attributes.size(), 4u);
    EXPECT_EQ(rules[0].attributes.front().key, "LOGONTYPE");

    AttributeTable table;
    initAttributeTable(table);
    applyParserRule(rules[0], {"s1", "subject", "s3", "s4", "s5", "target", "TDOM", "s8"}, table);
    // Of two entries with one key, the earlier in the file wins.
    EXPECT_EQ(value(table, "USER_NAME"), "target");
    // The open attribute is applied after, and over, the indexed value.
    EXPECT_EQ(value(table, "DOMAIN"), "CORP-FIXED");
    // Index 9 on eight strings: empty, with the message.
    EXPECT_EQ(value(table, "LOGONTYPE"), "");
    EXPECT_NE(log.text().find("\nParam number 9 is not present, adding empty"), std::string::npos);
    EXPECT_NE(log.text().find("\n Index :: 6, Key :: USER_NAME, value is : target"), std::string::npos);
}

// A negative index counts from the last string, so one rule finds a value
// that stays last while later event versions insert strings before it
// (4661: ProcessName is the 16th of 16 and the 17th of 17).
TEST(ParserRuleApply, NegativeIndexCountsFromTheLastString) {
    LogCapture log;
    auto rules = load(wrap(R"(<Parser-Rule eventids="4661">
        <Attribute key="OBJ_TYPE" index="6"/><Attribute key="PROCESS_NAME" index="-1"/>
        <Attribute key="ACCESSES" index="-3"/></Parser-Rule>)"));
    ASSERT_EQ(rules.size(), 1u);
    std::vector<std::string> strings;
    for (int i = 1; i <= 15; ++i) strings.push_back("s" + std::to_string(i));
    strings.push_back("C:\\Windows\\System32\\lsass.exe");
    for (bool withAccessReason : {false, true}) {
        std::vector<std::string> layout = strings;
        if (withAccessReason) layout.insert(layout.begin() + 10, "-");
        AttributeTable table;
        initAttributeTable(table);
        applyParserRule(rules[0], layout, table);
        EXPECT_EQ(value(table, "PROCESS_NAME"), "C:\\Windows\\System32\\lsass.exe") << layout.size();
        EXPECT_EQ(value(table, "OBJ_TYPE"), "s6");
        EXPECT_EQ(value(table, "ACCESSES"), "s14");
    }
    EXPECT_NE(log.text().find("\n Index :: -1, Key :: PROCESS_NAME, value is : C:\\Windows"), std::string::npos);

    // Past the first string: empty, with the message; none at all: empty too.
    AttributeTable table;
    initAttributeTable(table);
    applyParserRule(rules[0], {"a", "b"}, table);
    EXPECT_EQ(value(table, "PROCESS_NAME"), "b");
    EXPECT_EQ(value(table, "ACCESSES"), "");
    EXPECT_NE(log.text().find("\nParam number -3 is not present, adding empty"), std::string::npos);
    applyParserRule(rules[0], {}, table);
    EXPECT_EQ(value(table, "PROCESS_NAME"), "");
}

TEST(ParserRuleApply, ValuesAreCutToTheFieldAtCharacterBoundaries) {
    auto rules = load(wrap(R"(<Parser-Rule eventids="4663"><Attribute key="OBJ_NAME" index="1"/>
        <Attribute key="PROCESS_NAME" index="2"/></Parser-Rule>)"));
    ASSERT_EQ(rules.size(), 1u);
    AttributeTable table;
    initAttributeTable(table);
    // 254 ASCII bytes then a 3-byte character: the character does not fit in 255.
    std::string objectName = std::string(254, 'a') + "\xE2\x82\xAC" + "tail";
    applyParserRule(rules[0], {objectName, std::string(300, 'p')}, table);
    EXPECT_EQ(value(table, "OBJ_NAME"), std::string(254, 'a'));
    EXPECT_EQ(value(table, "PROCESS_NAME").size(), 255u);
}

TEST(ParserRuleLoading, BadRulesAreSkippedAndTheRestKept) {
    LogCapture log;
    auto rules = load(wrap(R"(
        <Parser-Rule eventids="1"><Attribute key="USER_NAME" index="0"/></Parser-Rule>
        <Parser-Rule eventids="2"><Attribute index="3"/></Parser-Rule>
        <Parser-Rule eventids="3"><Attribute key="USER_NAME"/></Parser-Rule>
        <Parser-Rule eventids="4"><Attribute key="NO_SUCH_NAME" index="1"/></Parser-Rule>
        <Parser-Rule><Attribute key="USER_NAME" index="1"/></Parser-Rule>
        <Parser-Rule eventids="6-5"><Attribute key="USER_NAME" index="1"/></Parser-Rule>
        <Parser-Rule eventids="seven"><Attribute key="USER_NAME" index="1"/></Parser-Rule>
        <Parser-Rule eventids="8" versions="x"><Attribute key="USER_NAME" index="1"/></Parser-Rule>
        <Parser-Rule eventids="9"/>
        <Parser-Rule eventids="10,"><Attribute key="DOMAIN" index="2"/></Parser-Rule>)"));
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].eventIds, std::vector<int>{10});
    std::string text = log.text();
    std::size_t skipped = 0;
    for (auto pos = text.find("skipped"); pos != std::string::npos; pos = text.find("skipped", pos + 1))
        ++skipped;
    EXPECT_EQ(skipped, 9u);
    EXPECT_NE(text.find("no end tag"), std::string::npos);
}

TEST(ParserRuleLoading, SelfClosedRuleDoesNotSwallowTheNextOne) {
    auto rules = load(wrap(R"(<Parser-Rule eventids="1"/>
        <Parser-Rule eventids="2"><Attribute key="USER_NAME" index="1"/></Parser-Rule>)"));
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].eventIds, std::vector<int>{2});
    EXPECT_EQ(rules[0].attributes.size(), 1u);
}

TEST(ParserRuleLoading, BrokenDocumentsKeepWhatWasReadBeforeTheFault) {
    bool ok = true;
    // The second rule is cut off: no end tag, no end of document.
    auto rules = load(R"(<Rules><Parser-Rule eventids="1"><Attribute key="USER_NAME" index="1"/></Parser-Rule>
        <Parser-Rule eventids="2"><Attribute key="USER_NAME" index="1"/>)",
                      &ok);
    EXPECT_FALSE(ok);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].eventIds, std::vector<int>{1});

    EXPECT_TRUE(load("this is not xml at all", &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(load("", &ok).empty());
    EXPECT_FALSE(ok);
}

TEST(ParserRuleLoading, ElementsOutsideRulesAndUnknownChildrenAreIgnored) {
    auto rules = load(R"(<Top><Attribute key="USER_NAME" index="1"/><Group>
        <Parser-Rule eventids=" 4720 , 4722-4726 " versions=" 0 , 1">
          <Note>ignored</Note><Attribute key="TARGET_USER" index="1"/><!-- comment -->
        </Parser-Rule></Group></Top>)");
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].eventIds, std::vector<int>{4720});
    ASSERT_EQ(rules[0].eventIdRanges.size(), 1u);
    EXPECT_EQ(rules[0].eventIdRanges[0], std::make_pair(4722, 4726));
    ASSERT_TRUE(rules[0].versions.has_value());
    EXPECT_EQ(*rules[0].versions, (std::vector<int>{0, 1}));
    EXPECT_EQ(rules[0].attributes.size(), 1u);
}

TEST(ParserRuleLoading, MissingFileLeavesNoRules) {
    LogCapture log;
    ParserRuleList rules;
    EXPECT_FALSE(loadParserRulesFile("/nonexistent/EventIdParserRules.xml", rules));
    EXPECT_TRUE(rules.empty());
}

// Every rule of the shipped file is understood: nothing is skipped.
TEST(ShippedRules, EveryRuleLoads) {
    const std::string path = std::string(AMBRIK_SOURCE_DIR) + "/data/EventIdParserRules.xml";
    std::ifstream in(path);
    ASSERT_TRUE(in) << path;
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    std::size_t elements = 0;
    for (auto pos = text.find("<Parser-Rule "); pos != std::string::npos; pos = text.find("<Parser-Rule ", pos + 1))
        ++elements;

    LogCapture log;
    ParserRuleList rules;
    ASSERT_TRUE(loadParserRulesFile(path, rules));
    EXPECT_EQ(rules.size(), elements);
    EXPECT_EQ(log.text().find("skipped"), std::string::npos) << log.text();
    for (const auto& rule : rules)
        for (const auto& attribute : rule.attributes) EXPECT_TRUE(isAttributeName(attribute.key));

    // The ids an administrator expects to see parsed.
    for (int id : {4624, 4625, 4634, 4647, 4648, 4672, 4656, 4660, 4663, 4688, 4720, 4726, 4728, 4732,
                   4738, 4740, 4756, 4767, 4768, 4769, 4771, 4776})
        EXPECT_NE(findParserRule(rules, id, 0), nullptr) << id;
    for (int id : {528, 529, 538, 540, 552, 560, 592, 624, 630, 632, 636, 642, 672, 673, 675, 680})
        for (int minor : {0, 2}) EXPECT_NE(findParserRule(rules, id, minor), nullptr) << id << " on 5." << minor;
}

TEST(ShippedRules, LoadParserRulesReadsFromTheWorkingDirectory) {
    LogCapture log;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(AMBRIK_SOURCE_DIR), 0);
    EXPECT_TRUE(loadParserRules());
    EXPECT_EQ(chdir(cwd), 0);
    EXPECT_FALSE(parserRules().empty());
    EXPECT_NE(log.text().find("\n********** Rule ***************\n Event Ids: 4624, "), std::string::npos);
    EXPECT_NE(findParserRule(4624, 0), nullptr);
    setParserRules({});
}

}  // namespace
