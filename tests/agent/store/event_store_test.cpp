// The event store: inserts, counting, rotation and the hourly aggregate as
// the server's decoder reads it back.

#include <sqlite3.h>

#include <filesystem>
#include <vector>

#include "agent/store/data_files.h"
#include "store_fixture.h"
#include "testserver/decoders/decoders.h"

namespace {

using decoders::Row;

std::vector<Row> aggregateRows(const std::string& text, decoders::RowFormat format) {
    std::vector<Row> rows;
    decoders::RowFormat used;
    auto error = decoders::decodeRows(text, format, 0, rows, used);
    EXPECT_FALSE(error) << error.describe();
    return rows;
}

bool tableExists(const std::string& name) {
    auto lock = lockStoreDatabase(StoreDb::Event);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(storeDatabase(StoreDb::Event),
                       "select count(*) from sqlite_master where type='table' and name=?", -1,
                       &stmt, nullptr);
    sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(stmt);
    bool exists = sqlite3_column_int(stmt, 0) == 1;
    sqlite3_finalize(stmt);
    return exists;
}

}  // namespace

TEST_F(StoreTest, SameKindEventsAggregateToOneLineWithSeverityCounts) {
    std::vector<EventRecord> events = {event(5, 528, 1), event(5, 528, 1), event(5, 528, 4)};
    storeEvents(events.data(), static_cast<int>(events.size()));
    EXPECT_EQ(countCurrentEvents(), 3);

    rotateAndAggregate();
    auto rows = aggregateRows(readFile("serverdata/aggregate"), decoders::RowFormat::Enclosed);
    ASSERT_EQ(rows.size(), 1u);
    const auto& v = rows[0].values;
    ASSERT_EQ(v.size(), 15u);
    EXPECT_FALSE(v[0].has_value());  // the leading NULL
    EXPECT_EQ(*v[1], "14");
    EXPECT_EQ(*v[2], "2008-11-03 14:00:00");
    EXPECT_EQ(*v[3], "5");
    EXPECT_EQ(*v[4], "Security");
    EXPECT_EQ(*v[5], "Security");
    EXPECT_EQ(*v[6], "528");
    EXPECT_EQ(*v[7], "admin");
    EXPECT_EQ(*v[8], "CORP");
    EXPECT_EQ(*v[9], "2");
    EXPECT_EQ(*v[10], "2");  // errors
    EXPECT_EQ(*v[11], "0");
    EXPECT_EQ(*v[12], "0");
    EXPECT_EQ(*v[13], "1");  // audit successes
    EXPECT_EQ(*v[14], "0");
}

TEST_F(StoreTest, DifferentHoursAndHostsGiveSeparateLines) {
    std::vector<EventRecord> events = {event(5, 528, 3, "2008-11-03 14:00:00", 14),
                                       event(5, 528, 3, "2008-11-03 15:00:00", 15),
                                       event(6, 528, 3, "2008-11-03 15:00:00", 15),
                                       event(6, 528, 2, "2008-11-03 15:00:00", 15)};
    storeEvents(events.data(), static_cast<int>(events.size()));
    rotateAndAggregate();
    auto rows = aggregateRows(readFile("serverdata/aggregate"), decoders::RowFormat::Enclosed);
    ASSERT_EQ(rows.size(), 3u);
    long total = 0;
    for (const auto& row : rows)
        for (int c = 10; c < 15; ++c) total += std::stol(*row.values[c]);
    EXPECT_EQ(total, 4);
}

TEST_F(StoreTest, RotationMovesInsertsToNewSnapshotAndDropsOldOne) {
    const std::string first = currentSnapshotName();
    std::vector<EventRecord> events = {event(1, 4624, 4)};
    storeEvents(events.data(), 1);

    platform::advanceClock(180'000);
    rotateAndAggregate();
    const std::string second = currentSnapshotName();
    EXPECT_NE(first, second);
    EXPECT_FALSE(tableExists(first));
    EXPECT_TRUE(tableExists(second));
    EXPECT_EQ(countCurrentEvents(), 0);

    storeEvents(events.data(), 1);
    storeEvents(events.data(), 1);
    EXPECT_EQ(countCurrentEvents(), 2);

    // The second period's aggregate is appended after the first's.
    rotateAndAggregate();
    auto rows = aggregateRows(readFile("serverdata/aggregate"), decoders::RowFormat::Enclosed);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(*rows[0].values[13], "1");
    EXPECT_EQ(*rows[1].values[13], "2");
}

TEST_F(StoreTest, FailedAggregateWriteKeepsTheSnapshotForTheNextRotation) {
    const std::string first = currentSnapshotName();
    std::vector<EventRecord> events = {event(1, 4624, 4)};
    storeEvents(events.data(), 1);

    // A directory where the aggregate file belongs makes its write fail.
    std::filesystem::create_directories("serverdata/aggregate");
    platform::advanceClock(180'000);
    rotateAndAggregate();
    EXPECT_EQ(currentSnapshotName(), first);
    EXPECT_TRUE(tableExists(first));
    EXPECT_EQ(countCurrentEvents(), 1);

    std::filesystem::remove("serverdata/aggregate");
    platform::advanceClock(180'000);
    rotateAndAggregate();
    EXPECT_FALSE(tableExists(first));
    auto rows = aggregateRows(readFile("serverdata/aggregate"), decoders::RowFormat::Enclosed);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(*rows[0].values[13], "1");
}

TEST_F(StoreTest, RotationsInTheSameSecondNeverReuseATableName) {
    // A timer transfer and the stop path's transfer can fall in one second.
    std::vector<EventRecord> events = {event(1, 4624, 4)};
    storeEvents(events.data(), 1);
    const std::string first = currentSnapshotName();
    rotateAndAggregate();
    const std::string second = currentSnapshotName();
    storeEvents(events.data(), 1);
    rotateAndAggregate();
    EXPECT_NE(first, second);
    EXPECT_NE(second, currentSnapshotName());
    EXPECT_TRUE(tableExists(currentSnapshotName()));
    storeEvents(events.data(), 1);
    EXPECT_EQ(countCurrentEvents(), 1);
    auto rows = aggregateRows(readFile("serverdata/aggregate"), decoders::RowFormat::Enclosed);
    EXPECT_EQ(rows.size(), 2u);  // both events were aggregated, none lost
}

TEST_F(StoreTest, SnapshotNamesStayValidAfter2038) {
    closeEventStore();
    platform::setClock(3'000'000'000'000);  // beyond the signed 32-bit range
    ASSERT_EQ(openEventStore(), 1);
    ASSERT_TRUE(createEventTables());
    EXPECT_EQ(currentSnapshotName(), "EventLog_" + std::to_string(3'000'000'000u));
    std::vector<EventRecord> events = {event(1, 1, 1)};
    storeEvents(events.data(), 1);
    EXPECT_EQ(countCurrentEvents(), 1);
}

TEST_F(StoreTest, EmptyBufferAndFailedStatementsAreLoggedNotFatal) {
    storeEvents(nullptr, 0);
    EXPECT_EQ(countCurrentEvents(), 0);
    EXPECT_FALSE(execSql("CREATE TABLE EventLog (X INTEGER)", StoreDb::Event));
    std::string log = logText();
    EXPECT_NE(log.find("\n Dumping to DB : 0 number of logs"), std::string::npos);
    EXPECT_NE(log.find("\n SQL Error: table EventLog already exists, \n Query : CREATE TABLE "
                       "EventLog (X INTEGER)\n"),
              std::string::npos);
}

TEST_F(StoreTest, FileIntegrityTablesLiveInTheirDatabases) {
    EXPECT_TRUE(execSql("insert into FileAttributes (LOC_ID) values (1)", StoreDb::Event));
    EXPECT_TRUE(execSql("insert into TreeView (LOC_ID) values (1)", StoreDb::Event));
    EXPECT_TRUE(execSql("insert into FileChanges (AGENT_ID) values (7)", StoreDb::Change));
    EXPECT_FALSE(execSql("select * from FileChanges", StoreDb::Event));

    ASSERT_TRUE(reopenChangeDatabase());
    EXPECT_TRUE(exportQueryRows(StoreDb::Change, "select AGENT_ID from FileChanges", "changes", true));
    EXPECT_EQ(readFile("changes"), "");  // the fresh table is empty
}

TEST_F(StoreTest, ClosedStoreAnswersZeroInsteadOfCrashing) {
    closeEventStore();
    std::vector<EventRecord> events = {event(1, 1, 1)};
    storeEvents(events.data(), 1);
    EXPECT_EQ(countCurrentEvents(), 0);
    EXPECT_FALSE(execSql("VACUUM", StoreDb::Event));
    EXPECT_FALSE(exportQueryRows(StoreDb::Event, "select 1", "out", true));
    rotateAndAggregate();
}
