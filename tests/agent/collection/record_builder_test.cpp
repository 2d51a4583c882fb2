// Record building: time, severity, message, field bounds, attributes and the
// classification of object accesses.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "agent/collection/event_record.h"
#include "agent/collection/parser_rules.h"
#include "common/text_format.h"
#include "fake_event.h"

namespace {

using collection_test::FakeEvent;
using collection_test::securityEvent;

// Central European time with its daylight-saving rule, so local time is not UTC.
const bool kZoneSet = [] {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    return true;
}();

std::int64_t utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

// The text's own offset makes the instant: a host one hour east of the
// agent, or five and a half, or west, gives the true time whatever its
// Windows version; hour and bucket are the agent's local hour of it, the day
// the text's.
TEST(ParseWmiTime, TheTextsOffsetGivesTheTrueTime) {
    ASSERT_TRUE(kZoneSet);
    struct Case {
        const char* text;
        std::int64_t utcTime;
        int hour;
        const char* bucket;
    };
    const Case cases[] = {
        {"20240305101520.000000+060", utc(2024, 3, 5, 9, 15, 20), 10, "2024-03-05 10:00:00"},
        {"20240305101520.000000+120", utc(2024, 3, 5, 8, 15, 20), 9, "2024-03-05 09:00:00"},
        {"20240305101520.000000+330", utc(2024, 3, 5, 4, 45, 20), 5, "2024-03-05 05:00:00"},
        {"20240305101520.000000-300", utc(2024, 3, 5, 15, 15, 20), 16, "2024-03-05 16:00:00"},
        {"20240305001520.000000+120", utc(2024, 3, 4, 22, 15, 20), 23, "2024-03-04 23:00:00"},
    };
    for (const Case& c : cases)
        for (int zoneDiff : {0, 3600}) {  // the host's zone difference does not move a text with an offset
            EventRecord record;
            ASSERT_TRUE(parseWmiTime(c.text, 0, zoneDiff, record)) << c.text;
            EXPECT_EQ(record.eventTime, c.utcTime) << c.text;
            EXPECT_EQ(record.hour, c.hour) << c.text;
            EXPECT_EQ(record.hourBucket, c.bucket) << c.text;
            EXPECT_EQ(record.day, c.text[7] - '0' + 10 * (c.text[6] - '0')) << c.text;
        }
}

TEST(ParseWmiTime, TextWithoutOffsetIsLocalTimePlusTheZoneDifference) {
    EventRecord record;
    ASSERT_TRUE(parseWmiTime("20240305101520", 0, 0, record));
    EXPECT_EQ(record.eventTime, utc(2024, 3, 5, 9, 15, 20));
    ASSERT_TRUE(parseWmiTime("20240305233000", 0, 3600, record));
    EXPECT_EQ(record.eventTime, utc(2024, 3, 5, 23, 30, 0));
    // Hour and bucket follow the shifted time; the day stays the text's.
    EXPECT_EQ(record.hour, 0);
    EXPECT_EQ(record.hourBucket, "2024-03-06 00:00:00");
    EXPECT_EQ(record.day, 5);
    EventRecord summer, standard;
    ASSERT_TRUE(parseWmiTime("20240705101520", 1, 0, summer));
    EXPECT_EQ(summer.eventTime, utc(2024, 7, 5, 8, 15, 20));
    ASSERT_TRUE(parseWmiTime("20240705101520", 0, 0, standard));
    EXPECT_EQ(standard.eventTime - summer.eventTime, 3600);
}

TEST(ParseWmiTime, ConsecutiveEventsAcrossHoursAndDays) {
    const char* texts[] = {"20240305095959.000000+060", "20240305100000.000000+060",
                           "20240305105959.000000+060", "20240306100000.000000+060",
                           "20240305100001.000000+060"};
    const std::int64_t expected[] = {utc(2024, 3, 5, 8, 59, 59), utc(2024, 3, 5, 9, 0, 0),
                                     utc(2024, 3, 5, 9, 59, 59), utc(2024, 3, 6, 9, 0, 0),
                                     utc(2024, 3, 5, 9, 0, 1)};
    const char* buckets[] = {"2024-03-05 09:00:00", "2024-03-05 10:00:00", "2024-03-05 10:00:00",
                             "2024-03-06 10:00:00", "2024-03-05 10:00:00"};
    for (int i = 0; i < 5; ++i) {
        EventRecord record;
        ASSERT_TRUE(parseWmiTime(texts[i], 0, 0, record));
        EXPECT_EQ(record.eventTime, expected[i]) << texts[i];
        EXPECT_EQ(record.hourBucket, buckets[i]) << texts[i];
    }
}

TEST(ParseWmiTime, RejectsTextsThatAreNotTimes) {
    for (const char* text : {"", "2024030510", "2024x305101520.000000+060", "20241305101520.000000+060",
                             "20240305251520.000000+060", "-0240305101520.000000+060"}) {
        EventRecord record;
        record.eventTime = 77;
        record.hourBucket = "keep";
        EXPECT_FALSE(parseWmiTime(text, 0, 0, record)) << text;
        EXPECT_EQ(record.eventTime, 77);
        EXPECT_EQ(record.hourBucket, "keep");
    }
}

TEST(ClassifyAccesses, DeleteWithAndWithoutWriteOrReadWords) {
    EXPECT_EQ(classifyAccesses("Accesses: DELETE", 6), "objectdeleted");
    EXPECT_EQ(classifyAccesses("Accesses: DELETE READ_CONTROL ReadEA", 6), "objectdeleted");
    EXPECT_EQ(classifyAccesses("Accesses: DELETE WriteData", 5), "objectcreated");
    EXPECT_EQ(classifyAccesses("Accesses: DELETE READ_CONTROL ReadAttributes ReadEA", 5), "objectcreated");
}

TEST(ClassifyAccesses, WriteWordsAndTheVersionSixRule) {
    EXPECT_EQ(classifyAccesses("Accesses: WriteData ReadData", 5), "objectmodified");
    EXPECT_EQ(classifyAccesses("Accesses: AppendData", 6), "objectmodified");
    const char* created = "WriteEA READ_CONTROL ReadAttributes ReadData";
    EXPECT_EQ(classifyAccesses(created, 6), "objectcreated");
    EXPECT_EQ(classifyAccesses(created, 5), "objectmodified");
    EXPECT_EQ(classifyAccesses(created, 10), "objectmodified");
}

TEST(ClassifyAccesses, ReadWordsMatchAcrossJoinedWhiteSpace) {
    EXPECT_EQ(classifyAccesses("Accesses:\tReadData (or ListDirectory)", 6), "objectaccessed");
    // Two-word read words match once the line break between them is joined.
    EXPECT_EQ(classifyAccesses("Accesses: Control\r\n\t\tAccess", 6), "objectaccessed");
    EXPECT_EQ(classifyAccesses("Write\vProperty", 6), "objectaccessed");
}

TEST(ClassifyAccesses, WithoutWordsTheJoinedMessageIsTheResult) {
    // The search is case-sensitive.
    EXPECT_EQ(classifyAccesses("delete readdata", 6), "delete readdata ");
    EXPECT_EQ(classifyAccesses("  An object\r\n\twas\f touched  ", 6), "An object was touched ");
    EXPECT_EQ(classifyAccesses(" \t\r\n", 6), " \t\r\n");
    EXPECT_EQ(classifyAccesses("", 6), "");
}

class BuildRecord : public ::testing::Test {
protected:
    void SetUp() override {
        initAttributeTable(attributes);
        run = collection_test::testRunValues();
        ParserRuleList rules;
        ASSERT_TRUE(loadParserRulesText(R"(<Rules>
            <Parser-Rule eventids="4624">
              <Attribute key="USER_NAME" index="6"/><Attribute key="DOMAIN" index="7"/>
              <Attribute key="LOGONTYPE" index="9"/><Attribute key="REMOTEHOST" index="19"/>
              <Attribute key="PROCESS_NAME" index="18"/>
            </Parser-Rule>
            <Parser-Rule eventids="560" versions="1,2">
              <Attribute key="OBJ_TYPE" index="2"/><Attribute key="OBJ_NAME" index="3"/>
              <Attribute key="USER_NAME" index="8"/><Attribute key="DOMAIN" index="9"/>
              <Attribute key="CLIENT_USERNAME" index="11"/><Attribute key="CLIENT_DOMAIN" index="12"/>
              <Attribute key="ACCESSES" index="14"/>
            </Parser-Rule>
            <Parser-Rule eventids="4663">
              <Attribute key="USER_NAME" index="2"/><Attribute key="OBJ_NAME" index="7"/>
              <Attribute key="ACCESSES" index="9"/>
            </Parser-Rule></Rules>)",
                                        rules));
        setParserRules(std::move(rules));
    }
    void TearDown() override { setParserRules({}); }

    EventRecord build(std::unique_ptr<FakeEvent> event) {
        EventRecord record;
        buildEventRecord(host, std::move(event), record, attributes, run);
        return record;
    }

    static std::unique_ptr<FakeEvent> systemEvent() {
        auto event = std::make_unique<FakeEvent>();
        event->text("Logfile", "System")
            .text("SourceName", "Service Control Manager")
            .integer("EventCode", 7036)
            .integer("EventType", 3)
            .text("Type", "Information")
            .text("TimeWritten", "20240305101520.000000+060")
            .text("TimeGenerated", "20240305101520.000000+060")
            .text("Message", "The Print Spooler service entered the running state.")
            .strings({"Print Spooler", "running"});
        return event;
    }

    RecordHost host{7, 6, 1, 0};
    RecordRunValues run;
    AttributeTable attributes;
};

const std::vector<std::string> kLogon = {
    "S-1-5-18", "DC01$", "CORP", "0x3e7", "S-1-5-21-1-2-3-1104", "alice", "CORP", "0x8b0aad6", "3",
    "NtLmSsp ", "NTLM", "WS01", "{00000000-0000-0000-0000-000000000000}", "-", "NTLM V2", "128", "0x0",
    "C:\\Windows\\System32\\lsass.exe", "10.1.2.3", "49152"};

TEST_F(BuildRecord, SeveritiesFromEventTypeAndType) {
    struct Case {
        int eventType;  // -1: property null
        const char* type;
        int severity;
    } cases[] = {{1, "", 1},           {2, "", 2},
                 {5, "Information", 5}, {0, "audit failure", 5},
                 {0, "Audit Success", 4}, {0, "ERROR", 1},
                 {0, "warning", 2},     {0, "Success", 4},
                 {0, "Failure", 5},     {0, "Bogus", 3},
                 {0, "Error ", 3},      {7, "Warning", 2},
                 {-1, nullptr, 3}};
    for (const auto& c : cases) {
        auto event = systemEvent();
        if (c.eventType < 0)
            event->null("EventType");
        else
            event->integer("EventType", c.eventType);
        if (c.type == nullptr)
            event->properties.erase("Type");
        else
            event->text("Type", c.type);
        EXPECT_EQ(build(std::move(event)).severity, c.severity) << c.eventType << " " << (c.type ? c.type : "null");
    }
}

TEST_F(BuildRecord, SystemEventFieldsAndEmptyAttributes) {
    EventRecord record = build(systemEvent());
    EXPECT_EQ(record.hostId, 7);
    EXPECT_EQ(record.eventId, 7036);
    EXPECT_EQ(record.logFile, "System");
    EXPECT_EQ(record.logTypeId, collection_test::kSystemType);
    EXPECT_EQ(record.source, "Service Control Manager");
    EXPECT_EQ(record.message, "The Print Spooler service entered the running state.");
    EXPECT_EQ(record.eventTime, utc(2024, 3, 5, 9, 15, 20));
    EXPECT_EQ(record.user, "");
    EXPECT_EQ(record.domain, "-");
    EXPECT_EQ(record.accessOrLogonType, "-");
    EXPECT_EQ(record.remoteHost, "");
    EXPECT_EQ(record.objectName, "");
    EXPECT_EQ(record.notifiedIds, "");
}

TEST_F(BuildRecord, RulesApplyOnlyToTheSecurityLog) {
    auto event = securityEvent(4624, kLogon);
    event->text("Logfile", "System");
    EventRecord record = build(std::move(event));
    EXPECT_EQ(record.user, "");
    EXPECT_EQ(record.domain, "-");
    EXPECT_EQ(record.remoteHost, "");
}

TEST_F(BuildRecord, SecurityLogonFillsAttributesAndDashesTheRest) {
    EventRecord record = build(securityEvent(4624, kLogon));
    EXPECT_EQ(record.logTypeId, collection_test::kSecurityType);
    EXPECT_EQ(record.severity, 4);
    EXPECT_EQ(record.user, "alice");
    EXPECT_EQ(record.domain, "CORP");
    EXPECT_EQ(record.accessOrLogonType, "3");
    EXPECT_EQ(record.remoteHost, "10.1.2.3");
    EXPECT_EQ(record.processName, "C:\\Windows\\System32\\lsass.exe");
    EXPECT_EQ(record.objectName, "-");
    EXPECT_EQ(record.targetUser, "-");
    EXPECT_EQ(record.accesses, "-");
    // Without a message the first insertion string is the message.
    EXPECT_EQ(record.message, "S-1-5-18");

    // An older Windows event with fewer strings: the missing ones become "-".
    std::vector<std::string> shortLogon(kLogon.begin(), kLogon.begin() + 12);
    record = build(securityEvent(4624, shortLogon));
    EXPECT_EQ(record.user, "alice");
    EXPECT_EQ(record.remoteHost, "-");
    EXPECT_EQ(record.processName, "-");

    // Attributes are emptied between events: an id without a rule keeps none.
    record = build(securityEvent(4999, kLogon));
    EXPECT_EQ(record.user, "");
    EXPECT_EQ(record.remoteHost, "");
    EXPECT_EQ(record.domain, "-");
}

TEST_F(BuildRecord, ClientAccountReplacesThePrimaryOne) {
    std::vector<std::string> open = {"Security", "File", "C:\\data\\a.txt", "1234", "{0,5678}", "912",
                                     "C:\\app.exe", "svc", "CORP", "(0x0,0x3E7)", "-", "-", "-",
                                     "ReadData (or ListDirectory)", "-"};
    host.majorVersion = 5;
    host.minorVersion = 2;
    auto event = securityEvent(560, open);
    event->text("Message", "Object Open:\r\n\tAccesses:\tReadData (or ListDirectory)\r\n");
    EventRecord record = build(std::move(event));
    EXPECT_EQ(record.user, "svc");
    EXPECT_EQ(record.domain, "CORP");
    EXPECT_EQ(record.objectName, "C:\\data\\a.txt");
    EXPECT_EQ(record.accesses, "objectaccessed");
    EXPECT_EQ(record.accessOrLogonType, "objectaccessed");

    open[10] = "alice";
    open[11] = "BRANCH";
    record = build(securityEvent(560, open));
    EXPECT_EQ(record.user, "alice");
    EXPECT_EQ(record.domain, "BRANCH");

    // Windows 2000 is not served by this rule: nothing is parsed.
    host.minorVersion = 0;
    record = build(securityEvent(560, open));
    EXPECT_EQ(record.user, "");
    EXPECT_EQ(record.objectName, "");
}

TEST_F(BuildRecord, ObjectAccessTextComesFromTheMessageAndIsCut) {
    std::vector<std::string> strings = {"S-1-5-21-1", "bob", "CORP", "0x1", "Security", "File",
                                        "C:\\x.txt", "0x1a4", "%%1537", "0x10000", "0x4", "C:\\cmd.exe"};
    auto event = securityEvent(4663, strings);
    event->text("Message", "An attempt was made to access an object.\r\n\tAccesses:\tDELETE\r\n");
    EventRecord record = build(std::move(event));
    EXPECT_EQ(record.accesses, "objectdeleted");
    EXPECT_EQ(record.accessOrLogonType, "objectdeleted");
    EXPECT_EQ(record.user, "bob");

    // No words: the joined message, cut to 255 in the attribute, 99 in the record.
    std::string message;
    for (int i = 0; i < 100; ++i) message += "word\r\n";
    event = securityEvent(4663, strings);
    event->text("Message", message);
    record = build(std::move(event));
    std::string joined;
    for (int i = 0; i < 100; ++i) joined += "word ";
    EXPECT_EQ(record.accesses, joined.substr(0, 255));
    EXPECT_EQ(record.accessOrLogonType, joined.substr(0, 99));
    EXPECT_EQ(record.message, message);
}

TEST_F(BuildRecord, MessageChoice) {
    auto event = systemEvent();
    event->text("Message", "");
    EXPECT_EQ(build(std::move(event)).message, kNoDescriptionMessage);

    event = systemEvent();
    event->null("Message");
    EXPECT_EQ(build(std::move(event)).message, "Print Spooler");

    event = systemEvent();
    event->null("Message").strings({"", "second"});
    EXPECT_EQ(build(std::move(event)).message, kNoDescriptionMessage);

    event = systemEvent();
    event->null("Message").null("InsertionStrings");
    EXPECT_EQ(build(std::move(event)).message, kNoDescriptionMessage);

    event = systemEvent();
    event->text("Message", std::string(5000, 'm'));
    EXPECT_EQ(build(std::move(event)).message, std::string(4500, 'm'));

    event = systemEvent();
    event->null("Message").strings({std::string(2000, 'i')});
    EXPECT_EQ(build(std::move(event)).message, std::string(1023, 'i'));

    // A 1 MB message and 10000 insertion strings on an object-access event.
    std::vector<std::string> many(10000, std::string(300, 's'));
    event = securityEvent(4663, many);
    event->text("Message", std::string(1 << 20, 'M'));
    EventRecord record = build(std::move(event));
    EXPECT_EQ(record.message.size(), 4500u);
    EXPECT_EQ(record.user.size(), 99u);
    EXPECT_EQ(record.objectName.size(), 255u);
    EXPECT_EQ(record.accesses, std::string(255, 'M'));
}

TEST_F(BuildRecord, LogFileAndSourceThatDoNotFitBecomeDash) {
    auto event = systemEvent();
    event->text("Logfile", std::string(49, 'L')).text("SourceName", std::string(99, 'S'));
    run.lookupFacility = [](std::string&, int& type) { type = 9; };
    EventRecord record = build(std::move(event));
    EXPECT_EQ(record.logFile, std::string(49, 'L'));
    EXPECT_EQ(record.source, std::string(99, 'S'));

    event = systemEvent();
    event->text("Logfile", std::string(50, 'L')).text("SourceName", std::string(100, 'S'));
    record = build(std::move(event));
    EXPECT_EQ(record.logFile, "-");
    EXPECT_EQ(record.source, "-");

    event = systemEvent();
    event->properties.erase("Logfile");
    event->null("SourceName");
    record = build(std::move(event));
    EXPECT_EQ(record.logFile, "-");
    EXPECT_EQ(record.source, "-");
}

TEST_F(BuildRecord, FacilityLookupMayRenameTheLog) {
    auto event = systemEvent();
    event->text("Logfile", "Directory Service");
    EventRecord record = build(std::move(event));
    EXPECT_EQ(record.logFile, "Application");
    EXPECT_EQ(record.logTypeId, collection_test::kApplicationType);
}

TEST_F(BuildRecord, RunningLastTimeAdvancesOnlyWithReadableNewerTimes) {
    run.lastTimeText = "20240305101520.000000+060";
    auto event = systemEvent();
    event->text("TimeWritten", "20240305101519.000000+060");
    build(std::move(event));
    EXPECT_FALSE(run.lastTimeAdvanced);
    EXPECT_EQ(run.lastTimeText, "20240305101520.000000+060");

    // Equal counts as newer.
    EventRecord record = build(systemEvent());
    EXPECT_TRUE(run.lastTimeAdvanced);
    EXPECT_EQ(run.lastMessageMillis, record.eventTime * 1000LL);

    run.lastTimeAdvanced = false;
    event = systemEvent();
    event->text("TimeWritten", "99999999999999.000000+060");  // month 99
    record = build(std::move(event));
    EXPECT_FALSE(run.lastTimeAdvanced);
    EXPECT_EQ(run.lastTimeText, "20240305101520.000000+060");
    EXPECT_EQ(record.eventTime, 0);
    EXPECT_EQ(record.hourBucket, "");

    event = systemEvent();
    event->text("TimeWritten", "20240306000000.000000+060");
    build(std::move(event));
    EXPECT_TRUE(run.lastTimeAdvanced);
    EXPECT_EQ(run.lastTimeText, "20240306000000.000000+060");
}

TEST_F(BuildRecord, FailedReadStillGivesARecord) {
    auto event = securityEvent(4624, kLogon);
    event->text("Message", "a message that is not used");
    event->failing.insert("InsertionStrings");
    EventRecord record = build(std::move(event));
    EXPECT_EQ(record.message, kNoDescriptionMessage);
    EXPECT_EQ(record.eventTime, 0);
    EXPECT_EQ(record.eventId, 4624);
    EXPECT_EQ(record.logFile, "Security");
    EXPECT_FALSE(run.lastTimeAdvanced);
    // The rule sees no strings: every indexed attribute is "-".
    EXPECT_EQ(record.user, "-");

    record = build(nullptr);
    EXPECT_EQ(record.message, kNoDescriptionMessage);
    EXPECT_EQ(record.eventId, 0);
    EXPECT_EQ(record.severity, 3);
}

TEST_F(BuildRecord, ReleasesTheEventObject) {
    struct Tracked : FakeEvent {
        bool* released;
        explicit Tracked(bool* flag) : released(flag) {}
        ~Tracked() override { *released = true; }
    };
    bool released = false;
    auto event = std::make_unique<Tracked>(&released);
    event->text("Logfile", "System");
    EventRecord record;
    buildEventRecord(host, std::move(event), record, attributes, run);
    EXPECT_TRUE(released);
}

TEST(CopyBounded, CutsAtCharacterBoundaries) {
    std::string out;
    copyBounded(out, "abc", 4);
    EXPECT_EQ(out, "abc");
    copyBounded(out, "abcd", 4);
    EXPECT_EQ(out, "abc");
    copyBounded(out, "ab\xC3\xA9", 4);  // "abé": the two-byte character does not fit
    EXPECT_EQ(out, "ab");
    copyBounded(out, "\xF0\x9F\x98\x80", 4);
    EXPECT_EQ(out, "");
}

}  // namespace
