// Tables, rows and results of the store: cursors, defaults, updates,
// deletes, diagnostics, listeners, identifiers and concurrent use.
#include <atomic>
#include <thread>

#include "test_support.h"

using namespace tablestore_test;

namespace {

std::unique_ptr<RowObject> emptyRow(std::size_t columns) {
    return CreateNewRowObject(std::vector<ColumnValue>(columns), std::vector<int>(columns, 0));
}

class Store : public StoreTest {
protected:
    void loadItems(int count) {
        std::string xml = "<r>";
        for (int i = 1; i <= count; ++i)
            xml += "<Items ID=\"" + std::to_string(i) + "\" X=\"" + std::to_string(i % 2) + "\"/>";
        load(xml + "</r>");
    }
};

TEST_F(Store, CursorWalksWrapsAndToleratesNone) {
    EXPECT_EQ(GotoNextRowObject(static_cast<ResultData*>(nullptr)), nullptr);
    loadItems(2);
    ResultHandle r = SelectRows("Items", nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->rowCount, 2);
    int len = 0;
    EXPECT_EQ(GetColumnValueByName("ID", &len, r), nullptr);  // before the first row
    RowObject* first = GotoNextRowObject(r);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(GotoNextRowObject(r), nullptr);
    EXPECT_EQ(GotoNextRowObject(r), nullptr);  // the end, once
    EXPECT_EQ(GotoNextRowObject(r), first);    // then the first row again
    ResetResultDataCursor(r.get());
    EXPECT_EQ(GotoNextRowObject(r), first);
    FreeResultData(r);
    EXPECT_FALSE(r);
}

TEST_F(Store, TablesExistOnlyOnceAndOnlyWhenDeclared) {
    EXPECT_TRUE(CreateTable("Items"));
    EXPECT_FALSE(CreateTable("items"));       // same name, any case
    EXPECT_FALSE(CreateTable("Undeclared"));
    EXPECT_FALSE(CreateTable(nullptr));
    EXPECT_EQ(SelectRows("Hosts", nullptr), nullptr);  // never created: none, not empty
    ResultHandle r = SelectRows("ITEMS", nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->rowCount, 0);
}

TEST_F(Store, DefaultsFillIntegerAndCharColumns) {
    ASSERT_TRUE(CreateTable("Defaults"));
    ASSERT_TRUE(AddNewRow("Defaults", emptyRow(3)));
    ResultHandle r = SelectRows("Defaults", nullptr);
    ASSERT_TRUE(GotoNextRowObject(r));
    int len = 0;
    const void* count = GetColumnValueByName("COUNT", &len, r);
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(len, 4);
    std::int32_t n = 0;
    std::memcpy(&n, count, 4);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(text(r, "LABEL"), "5");
    len = -1;
    EXPECT_EQ(GetColumnValueByName("PLAIN", &len, r), nullptr);  // NULL: none, length still set
    EXPECT_EQ(len, 0);
    // A given value is kept.
    std::vector<ColumnValue> values(3);
    values[1] = std::string("given");
    ASSERT_TRUE(AddNewRow("Defaults", CreateNewRowObject(std::move(values), {0, 5, 0})));
    r = SelectRowByRowIdx("Defaults", 2);
    ASSERT_TRUE(GotoNextRowObject(r));
    EXPECT_EQ(text(r, "LABEL"), "given");
}

TEST_F(Store, UpdateRefusesPrimaryKeyAndReplacesOtherValues) {
    LogCapture log;
    loadItems(1);
    ResultHandle r = SelectRows("Items", "ID = 1");
    RowObject* row = GotoNextRowObject(r);
    ASSERT_NE(row, nullptr);
    std::int32_t newId = 9;
    EXPECT_FALSE(UpdateRowObject("Items", row, "id", &newId, 4));
    EXPECT_TRUE(log.contains("@@@ UpdateRowObject Failed as PrimaryKey is being updated @@@\n"));
    EXPECT_EQ(ids("ID = 1"), Ints{1});
    EXPECT_FALSE(row->status & ROW_UPDATED);

    EXPECT_TRUE(UpdateRowObject("Items", row, "NAME", "new", 4));
    EXPECT_TRUE(row->status & ROW_UPDATED);
    EXPECT_EQ(ids("NAME = 'new'"), Ints{1});
    EXPECT_FALSE(UpdateRowObject("Items", row, "NO_SUCH", "x", 2));
    EXPECT_FALSE(UpdateRowObject("Items", nullptr, "NAME", "x", 2));
    EXPECT_TRUE(log.contains("\t@@@@@ rowPtr passed as parameter in NULL @@@@@ \n"));
}

TEST_F(Store, DeletesKeepTheListWhole) {
    loadItems(6);  // X alternates 1, 0, 1, 0, 1, 0
    ASSERT_TRUE(DeleteRowObjectByCriteria("Items", "X = 1 or ID = 2"));
    EXPECT_EQ(ids(nullptr), (Ints{4, 6}));
    EXPECT_EQ(GetTableRowCount("Items"), 2);
    EXPECT_TRUE(DeleteRowObjectByCriteria("Items", "ID = 99"));  // nothing matched is still success
    EXPECT_FALSE(DeleteRowObjectByCriteria("Items", "ID = -1"));
    EXPECT_FALSE(DeleteRowObjectByCriteria("Items", nullptr));

    // One row by identity; a row that is not in the table is refused.
    ResultHandle r = SelectRows("Items", "ID = 6");
    RowObject* six = GotoNextRowObject(r);
    ASSERT_TRUE(DeleteRowObject("Items", six));
    FreeResultData(r);
    RowObject stranger;
    EXPECT_FALSE(DeleteRowObject("Items", &stranger));
    EXPECT_EQ(ids(nullptr), Ints{4});
}

TEST_F(Store, DeleteAllEmptiesTheTableAndReportsMissingOnes) {
    LogCapture log;
    loadItems(5);
    EXPECT_TRUE(DeleteAllTableRowObjects("Items"));
    EXPECT_EQ(GetTableRowCount("Items"), 0);
    ResultHandle r = SelectRows("Items", nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(GotoNextRowObject(r), nullptr);
    loadItems(1);  // the table stays and can be filled again
    EXPECT_EQ(ids(nullptr), Ints{1});

    EXPECT_FALSE(DeleteAllTableRowObjects("Hosts"));
    EXPECT_TRUE(log.contains("\t GetTableDataByName returned NULL \n"));
    EXPECT_FALSE(DeleteAllTableRowObjects(nullptr));
    EXPECT_TRUE(log.contains("\t tableName NULL \n"));
}

TEST_F(Store, SelectByIndexAndSort) {
    load(R"(<r><Items ID="3"/><Items ID="1"/><Items ID="2"/><Items/></r>)");
    ResultHandle r = SelectRowByRowIdx("Items", 2);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->rowCount, 1);
    GotoNextRowObject(r);
    EXPECT_EQ(int64(r, "ID"), 1);
    EXPECT_EQ(SelectRowByRowIdx("Items", 5), nullptr);

    r = SelectRows("Items", nullptr);
    ASSERT_TRUE(SortResultSet(r.get(), "id", 1));
    std::vector<std::int64_t> order;
    while (GotoNextRowObject(r)) order.push_back(int64(r, "ID"));
    EXPECT_EQ(order, (std::vector<std::int64_t>{-999, 1, 2, 3}));  // the NULL first
    ASSERT_TRUE(SortResultSet(r.get(), "ID", 0));
    order.clear();
    while (GotoNextRowObject(r)) order.push_back(int64(r, "ID"));
    EXPECT_EQ(order, (std::vector<std::int64_t>{3, 2, 1, -999}));
    EXPECT_FALSE(SortResultSet(r.get(), "NO_SUCH", 1));

    LogCapture log;
    r = SelectRows("Items", "ID = 2");
    EXPECT_TRUE(SortResultSet(r.get(), "ID", 1));
    EXPECT_TRUE(log.contains("Number of Rows is 1 for the Relvar to be Sorted \n"));
}

TEST_F(Store, PrintLayoutSkipsPresentBigintsButPrintsNulls) {
    load(R"(<r><Items ID="1" X="2" NAME="n" HOST_ID="77" RATIO="1.5" FLAG="false"/><Items ID="2"/></r>)");
    LogCapture log;
    PrintTableData("Items");
    const std::string expected =
        "ID\tX\tY\tZ\tNAME\tHOST_ID\tUID\tRATIO\tFLAG\t\n"
        "1\t2\tNULL\tNULL\tn\tNULL\t1.500000\t0\t\n"
        "2\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL\t\n";
    EXPECT_EQ(log.text(), expected);

    auto s = ToStringTableData("Items");
    ASSERT_TRUE(s);
    EXPECT_EQ(*s, expected);
    EXPECT_FALSE(ToStringTableData("Hosts"));
}

TEST_F(Store, ToStringIsCutAtItsBuffer) {
    std::string xml = "<r>";
    for (int i = 0; i < 100; ++i) xml += "<Items ID=\"" + std::to_string(i) + "\" NAME=\"some longer text\"/>";
    load(xml + "</r>");
    LogCapture log;
    auto s = ToStringTableData("Items");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->size(), 1023u);
    EXPECT_TRUE(log.contains("String Value of Relvar Data\n ID\t"));
}

TEST_F(Store, PrintResultSkipsDeletedRows) {
    loadItems(2);
    ResultHandle r = SelectRows("Items", nullptr);
    r->rows[0]->status |= ROW_DELETED;
    LogCapture log;
    PrintResultData(r.get());
    EXPECT_EQ(log.text(),
              "\t@@@@@ Inside PrintResultData() @@@@@\n"
              "ID\tX\tY\tZ\tNAME\tHOST_ID\tUID\tRATIO\tFLAG\t\n"
              "2\t0\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL\t\n");
}

TEST_F(Store, GetColumnValueAndItsMessages) {
    loadItems(2);
    LogCapture log;
    int len = 0;
    const void* v = GetColumnValue("Items", "X", "ID = 2", &len);
    ASSERT_NE(v, nullptr);
    std::int32_t x = -1;
    ReadColumnInt32(v, len, &x);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(GetColumnValue("Items", "X", "ID = 3", &len), nullptr);
    EXPECT_TRUE(log.contains("No such row available in the Items for ID = 3"));
    EXPECT_EQ(GetColumnValue("Items", "X", "ID = -3", &len), nullptr);
    EXPECT_TRUE(log.contains("Error in executing SelectRows(Items,ID = -3)\n"));
    EXPECT_EQ(GetColumnValue("Items", "NOPE", "ID = 2", &len), nullptr);
    EXPECT_TRUE(log.contains("#@#@@#@#  556677777\n"));

    ResultHandle r = SelectRows("Items", nullptr);
    EXPECT_EQ(GetColumnTypeByName("host_id", r.get()), QOR_SQL_BIGINT);
    EXPECT_EQ(GetColumnTypeByName("NOPE", r.get()), 0);
    EXPECT_STREQ(GetColumnNameByIndex(4, r.get()), "NAME");
    EXPECT_EQ(GetColumnNameByIndex(99, r.get()), nullptr);
    EXPECT_STREQ(GetTableNameFromResultData(r.get()), "Items");
    EXPECT_EQ(GetTableNameOfView("Items"), "Items");
}

TEST_F(Store, ListenersSeeMatchingChanges) {
    LogCapture log;
    std::vector<std::string> seen;
    auto record = [&](const IMDSNotification& n, const char* listener) {
        seen.push_back(std::string(listener) + ":" + n.tableName + ":" + std::to_string(n.row.status));
    };
    ASSERT_TRUE(AddNotificationListener("all", 0, record, true, {"Items", "Defaults"}));
    ASSERT_TRUE(AddNotificationListener("new", ROW_NEW, record, true, {"items"}));
    ASSERT_TRUE(AddNotificationListener("off", 0, record, false, {"Items"}));
    EXPECT_TRUE(AddNotificationListener("all", 0, record, true, {"Hosts"}));
    EXPECT_TRUE(log.contains("Listener with same name exists all\n"));
    EXPECT_TRUE(log.contains("Listener with name new added\n"));

    loadItems(1);
    EXPECT_EQ(seen, (std::vector<std::string>{"all:Items:2", "new:Items:2"}));
    EXPECT_TRUE(log.contains("Listener off  disabled\n"));

    seen.clear();
    ResultHandle r = SelectRows("Items", nullptr);
    UpdateRowObject("Items", GotoNextRowObject(r), "NAME", "a", 2);
    // Status new|updated: the "new" listener accepts new combined with updated.
    EXPECT_EQ(seen, (std::vector<std::string>{"all:Items:6", "new:Items:6"}));

    seen.clear();
    ASSERT_TRUE(CreateTable("Hosts"));
    ASSERT_TRUE(AddNewRow("Hosts", emptyRow(4)));
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(log.contains("Listener not registered for Hosts table\n"));

    EXPECT_TRUE(DisableNotification("all"));
    EXPECT_TRUE(RemoveNotification("new"));
    EXPECT_FALSE(RemoveNotification("new"));
    EXPECT_TRUE(log.contains("Listener with name new doesn't exists\n"));
    seen.clear();
    loadItems(1);
    EXPECT_TRUE(seen.empty());
}

TEST_F(Store, IdentifiersWithoutSequenceStateFailCleanly) {
    LogCapture log;
    ColumnDefn col;
    col.generatorName = "ITEM_SEQ";
    EXPECT_EQ(GenerateID("Items", &col), -1);
    EXPECT_TRUE(log.contains("No Value for AutoId key ITEM_SEQ \n"));
    EXPECT_EQ(GenerateInstanceID(), -1);
    EXPECT_FALSE(UpdateSeqGen("Items", "ITEM_SEQ"));
    EXPECT_TRUE(log.contains("Table doesn't Exists for UpdateSeqGen\n"));
    EXPECT_TRUE(SequenceGenerator());  // no generated columns declared: nothing to renew
}

TEST_F(Store, CustomViewsPrintAndNameButRefuseCriteria) {
    auto view = std::make_shared<CustomViewDefn>();
    view->baseTables = {"Items"};
    view->columns.push_back({"NAME", "", "", GetColumnDefnEntry("Items", "NAME")});
    view->columns.push_back({"HOST_ID", "", "", GetColumnDefnEntry("Items", "HOST_ID")});
    ASSERT_TRUE(CreateCustomViewData("ItemView", view));
    EXPECT_FALSE(CreateCustomViewData("itemview", view));
    EXPECT_EQ(GetTableNameOfView("ItemView"), "Items");
    ResultHandle all = SelectRows("ItemView", nullptr);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->kind, TABLE_KIND_VIEW);
    EXPECT_STREQ(GetTableNameFromResultData(all.get()), "Items");
    EXPECT_EQ(GetColumnTypeByName("host_id", all.get()), QOR_SQL_BIGINT);
    EXPECT_EQ(SelectRows("ItemView", "NAME = 'a'"), nullptr);
    EXPECT_FALSE(DeleteRowObjectByCriteria("ItemView", "NAME = 'a'"));
    EXPECT_FALSE(DeleteAllTableRowObjects("ItemView"));
    LogCapture log;
    PrintTableData("ItemView");
    EXPECT_EQ(log.text(), "NAME\tHOST_ID\t\n");
}

TEST_F(Store, ConcurrentSelectionsWhileAnotherTableReloads) {
    loadItems(50);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                ResultHandle r = SelectRows("Items", "X = 1 and ID > 10");
                if (!r || r->rowCount != 20) ++wrong;
            }
        });
    std::thread loader([&] {
        for (int i = 0; !stop && i < 200; ++i) {
            load(R"(<r><Hosts HOST_ID="1"/><HostDetails HOST_ID="1" TYPE="Windows"/></r>)");
            ResultHandle r = SelectRows("HostDetails", "HOST_ID = 1");
            if (!r || r->rowCount != 1) ++wrong;
            FreeResultData(r);
            DeleteAllTableRowObjects("Hosts");
            DeleteAllTableRowObjects("HostDetails");
        }
    });
    for (auto& th : readers) th.join();
    stop = true;
    loader.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
