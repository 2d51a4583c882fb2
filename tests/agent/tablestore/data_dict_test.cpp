// Reading the data dictionary: column rules, look-ups, broken files, the
// dump and the file lists, and the dictionary the agent ships.
#include <filesystem>
#include <fstream>

#include "test_support.h"

using namespace tablestore_test;

namespace {

class Dictionary : public ::testing::Test {
protected:
    void SetUp() override {
        FreeAllTableData();
        ReleaseDataDictionary();
    }
    void TearDown() override { ReleaseDataDictionary(); }
    static void loadText(const std::string& xml) { LoadDataDictFromMemory(xml.data(), xml.size(), "dict.xml"); }
    static std::string table(const std::string& name, const std::string& columns, const std::string& rest = "") {
        return "<table name=\"" + name + "\"><columns>" + columns + "</columns>" + rest + "</table>";
    }
    static std::string column(const std::string& name, const std::string& body) {
        return "<column name=\"" + name + "\">" + body + "</column>";
    }
    static std::string dict(const std::string& tables) { return "<data-dictionary>" + tables + "</data-dictionary>"; }
};

TEST_F(Dictionary, ColumnRules) {
    loadText(dict(table("T", column("A", "<data-type>Integer</data-type>") +
                                 column("B", "<data-type>int</data-type><nullable>TRUE</nullable>") +
                                 column("C", "<data-type>CHAR</data-type><nullable>no</nullable>"
                                             "<unique>true</unique><max-size>40</max-size>") +
                                 column("D", "<data-type>bigint</data-type><unique>TRUE</unique>"
                                             "<allowed-values><value>1</value><value>2</value></allowed-values>") +
                                 column("E", "<data-type>DATETIME</data-type>"
                                             "<allowed-values><from>a</from><to>b</to></allowed-values>"))));
    const TableDefn* t = getTableDefn("t");
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->columns.size(), 5u);
    EXPECT_EQ(t->columns[0].type, QOR_SQL_INT);
    EXPECT_TRUE(t->columns[0].nullable);  // no nullable element
    EXPECT_EQ(t->columns[1].type, QOR_SQL_NOT_SUPPORTED_TYPE);
    EXPECT_TRUE(t->columns[1].nullable);  // "TRUE" ignores case
    EXPECT_FALSE(t->columns[2].nullable);
    EXPECT_TRUE(t->columns[2].unique);
    EXPECT_EQ(t->columns[2].maxSize, 40);
    EXPECT_EQ(t->columns[3].type, QOR_SQL_BIGINT);
    EXPECT_FALSE(t->columns[3].unique);  // only the text "true"
    ASSERT_TRUE(t->columns[3].allowedValues);
    EXPECT_EQ(t->columns[3].allowedValues->values, (std::vector<std::string>{"1", "2"}));
    ASSERT_TRUE(t->columns[4].allowedValues);
    EXPECT_TRUE(t->columns[4].allowedValues->isRange);
    EXPECT_EQ(t->columns[4].allowedValues->to, "b");
}

TEST_F(Dictionary, DefaultsAreConvertedToTheColumnType) {
    loadText(dict(table("T", column("N", "<data-type>INTEGER</data-type><default-value>5</default-value>") +
                                 column("S", "<data-type>CHAR</data-type><default-value>5</default-value>") +
                                 column("B", "<data-type>BOOLEAN</data-type><default-value>maybe</default-value>") +
                                 column("L", "<data-type>BIGINT</data-type><default-value>-4294967296</default-value>"))));
    int found = 0;
    const std::string* n = GetDefaultValue("T", "N", &found);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(found, 1);
    ASSERT_EQ(n->size(), 4u);
    std::int32_t v;
    std::memcpy(&v, n->data(), 4);
    EXPECT_EQ(v, 5);
    const ColumnDefn* s = GetColumnDefnEntry("T", "S");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->defaultLength, 1);
    EXPECT_STREQ(s->defaultValue->c_str(), "5");
    EXPECT_EQ(GetDefaultValue("T", "B", &found), nullptr);  // unreadable default: none
    EXPECT_EQ(found, 0);
    const ColumnDefn* l = GetColumnDefnEntry("T", "L");
    std::int64_t big;
    std::memcpy(&big, l->defaultValue->data(), 8);
    EXPECT_EQ(big, -4294967296LL);
}

TEST_F(Dictionary, LookupsAndTheirMessages) {
    LogCapture log;
    loadText(dict(table("First", column("Col", "<data-type>CHAR</data-type>")) +
                  table("first", column("Other", "<data-type>CHAR</data-type>"))));
    ASSERT_NE(getTableDefn("FIRST"), nullptr);
    EXPECT_EQ(getTableDefn("FIRST")->columns[0].name, "Col");  // the second declaration is never found
    EXPECT_EQ(AllTableDefns().size(), 2u);
    EXPECT_NE(GetColumnDefnEntry("first", "Col"), nullptr);
    EXPECT_EQ(GetColumnDefnEntry("first", "col"), nullptr);  // column names are case-sensitive here
    EXPECT_EQ(getTableDefn(nullptr), nullptr);
    EXPECT_TRUE(log.contains("Table Name is NULL.\n"));
    EXPECT_EQ(GetColumnDefnEntry("Nope", "Col"), nullptr);
    EXPECT_TRUE(log.contains("No definition found for table Nope\n"));
    EXPECT_EQ(GetColumnDefnEntry(nullptr, "Col"), nullptr);
    EXPECT_TRUE(log.contains("Cannot fetch default value;\n"));
    EXPECT_EQ(GetForeignKeyDefn(getTableDefn("First"), "Col"), nullptr);
    EXPECT_TRUE(log.contains("No constraint Definition \n"));
}

TEST_F(Dictionary, KeysAndForeignKeys) {
    LogCapture log;
    loadText(dict(table("P", column("ID", "<data-type>BIGINT</data-type>"),
                        "<primary-key><primary-key-column>ID</primary-key-column></primary-key>") +
                  table("C", column("PID", "<data-type>BIGINT</data-type>") + column("N", "<data-type>CHAR</data-type>"),
                        "<foreign-keys><foreign-key reference-table-name=\"P\" isbidirectional=\"true\">"
                        "<fk-columns><fk-column><fk-local-column>PID</fk-local-column>"
                        "<fk-reference-column>ID</fk-reference-column></fk-column></fk-columns>"
                        "<fk-constraints>ON-DELETE-CASCADE</fk-constraints></foreign-key></foreign-keys>")));
    const TableDefn* c = getTableDefn("C");
    ASSERT_NE(c, nullptr);
    const ForeignKeyDefn* fk = GetForeignKeyDefn(c, "pid");
    ASSERT_NE(fk, nullptr);
    EXPECT_EQ(fk->referenceTable, "P");
    EXPECT_EQ(fk->referenceColumn, "ID");
    EXPECT_TRUE(fk->onDeleteCascade);
    EXPECT_TRUE(fk->bidirectional);
    EXPECT_EQ(GetForeignKeyDefn(getTableDefn("P"), "ID"), nullptr);
    EXPECT_TRUE(log.contains("No Foreignkey Entries in Definition \n"));
    EXPECT_EQ(getTableDefn("P")->primaryKeys, std::vector<std::string>{"ID"});

    LogCapture dump;
    PrintDataDictionary();
    const std::string dashes = std::string(39, '-') + "\n\n";
    const std::string stars = std::string(32, '*') + "\n";
    EXPECT_EQ(dump.text(),
              "Table Name : P\nDescription: \n" + dashes +
                  "Column Name : ID\nColumn Type : 7\nUnique Flag : FALSE\nDescription : \n" + dashes +
                  "Primary key : ID\n\n"
                  "Table Name : C\nDescription: \n" + dashes +
                  "Column Name : PID\nColumn Type : 7\nUnique Flag : FALSE\nDescription : \n" + dashes +
                  "Column Name : N\nColumn Type : 15\nUnique Flag : FALSE\nDescription : \n" + dashes +
                  "Foreign key Constraints\n" + stars + "Column Name : PID\nRef Column  : ID\nTablename : P\n" + stars);
}

TEST_F(Dictionary, BrokenDocumentsKeepWhatWasRead) {
    LogCapture log;
    loadText("<data-dictionary>" + table("Good", column("A", "<data-type>CHAR</data-type>")) +
             "<table name=\"Bad\"><columns><column name=\"A\"><description>never closed");
    EXPECT_NE(getTableDefn("Good"), nullptr);
    EXPECT_EQ(getTableDefn("Bad"), nullptr);
    EXPECT_TRUE(log.contains("\nNo Description end tag\n"));
    EXPECT_TRUE(log.contains("dict.xml : failed to parse\n"));

    loadText("<data-dictionary><table name=\"K\"><primary-key><primary-key-column>ID</table>");
    EXPECT_TRUE(log.contains("\nMissing primary-key-column end tag\n"));
    EXPECT_EQ(getTableDefn("K"), nullptr);
}

TEST_F(Dictionary, StructureRulesAndMessages) {
    LogCapture log;
    loadText(dict(table("NoTo", column("A", "<data-type>CHAR</data-type><allowed-values><from>a</from></allowed-values>")) +
                  "<table name=\"TwoDesc\"><description>a</description><description>b</description>"
                  "<columns>" + column("A", "<data-type>CHAR</data-type>") + "</columns></table>" +
                  "<table name=\"Upper\"><COLUMNS>" + column("A", "<data-type>CHAR</data-type>") + "</COLUMNS></table>" +
                  "<table name=\"Extra\" owner=\"me\"><columns>" + column("A", "") + "</columns></table>" +
                  "<table name=\"NoFkCols\"><columns>" + column("A", "<data-type>CHAR</data-type>") +
                  "</columns><foreign-keys><foreign-key reference-table-name=\"X\"/></foreign-keys></table>"));
    EXPECT_EQ(getTableDefn("NoTo"), nullptr);
    EXPECT_TRUE(log.contains("In the allowed values attribute, 'to' tag is missing.\n"));
    EXPECT_EQ(getTableDefn("TwoDesc"), nullptr);
    EXPECT_TRUE(log.contains("\nDescription tag ambiguity \n"));
    ASSERT_NE(getTableDefn("Upper"), nullptr);
    EXPECT_TRUE(getTableDefn("Upper")->columns.empty());  // only lower-case element names are understood
    ASSERT_NE(getTableDefn("Extra"), nullptr);
    EXPECT_TRUE(log.contains("\n Not all Attributes were read\n"));
    EXPECT_TRUE(log.contains("Column data type not supported - Error while creating column definition.\n"));
    EXPECT_NE(getTableDefn("NoFkCols"), nullptr);
    EXPECT_TRUE(log.contains("fk-columns tag not found \n"));

    loadText("<data-dictionary><description>nothing</description></data-dictionary>");
    EXPECT_TRUE(log.contains("\nTABLE tag missing\n"));
}

TEST_F(Dictionary, FilesAndFileLists) {
    LogCapture log;
    EXPECT_TRUE(LoadDataDictFromXMLFile("/nonexistent/data-dictionary.xml"));
    EXPECT_TRUE(log.contains("Unable to open /nonexistent/data-dictionary.xml\n"));
    EXPECT_FALSE(LoadDataDictFromXMLFile(nullptr));

    auto dir = std::filesystem::path(AMBRIK_BINARY_DIR) / "tablestore-dict-test";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "one.xml") << dict(table("One", column("A", "<data-type>CHAR</data-type>")));
    std::ofstream(dir / "two.xml") << dict(table("Two", column("A", "<data-type>CHAR</data-type>")));
    std::ofstream(dir / "datadictionary.txt") << "one.xml\n  two.xml\n";
    EXPECT_TRUE(LoadDataDictFiles(dir.c_str()));
    EXPECT_NE(getTableDefn("One"), nullptr);
    EXPECT_NE(getTableDefn("Two"), nullptr);
    EXPECT_FALSE(LoadDataDictFiles("/nonexistent"));
    std::filesystem::remove_all(dir);
}

TEST_F(Dictionary, ShippedDictionaryDeclaresWhatTheAgentReads) {
    LogCapture log;
    ASSERT_TRUE(LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml"));
    EXPECT_FALSE(log.contains("failed to parse"));
    const std::pair<const char*, std::vector<std::pair<const char*, int>>> expected[] = {
        {"Hosts", {{"HOST_ID", 7}, {"HOST_NAME", 15}, {"DNS_NAME", 15}, {"HOST_IPADDRESS", 15}}},
        {"HostDetails", {{"HOST_ID", 7}, {"DOMAIN_NAME", 15}, {"TYPE", 15}, {"USERNAME", 15}, {"PASSWORD", 15},
                         {"LAST_MSG_TIME", 15}, {"MON_INTERVAL", 5}, {"LOG_COLLECTION_STATUS", 5}, {"STATUS", 5}}},
        {"HostFilter", {{"HOSTID", 7}, {"FILTERID", 7}}},
        {"HostGroupFilter", {{"GROUPID", 7}, {"FILTERID", 7}}},
        {"HostGroupMapping", {{"HOSTID", 7}, {"GROUPID", 7}}},
        {"SyslogFilter", {{"ID", 7}}},
        {"Filter2Criteria", {{"FILTERID", 7}, {"CRITERIAID", 7}, {"TYPE", 5}}},
        {"LACriteria", {}},
        {"LACriteria2Expressions", {{"CRIT_ID", 7}, {"EXP_ID", 7}}},
        {"LAExpression", {{"EXP_ID", 7}, {"COLUMN_NAME", 15}, {"VALUE", 15}, {"COMPARATOR", 15}}},
        {"NotificationType", {{"NOTIFID", 7}, {"TYPE", 5}, {"NOOFOCCURRENCE", 5}, {"NOTIFINTERVAL", 5}}},
        {"HostNotification", {{"HOSTID", 7}, {"NOTIFID", 7}}},
        {"HostGroupNotification", {{"GROUPID", 7}, {"NOTIFID", 7}}},
        {"SLUPDATE", {{"SERVICETYPE", 15}, {"SERVICEID", 7}}},
        {"LogTypeMapping", {{"LTYPE", 15}, {"LVALUE", 5}}},
        {"FIM_AgentRequest", {{"INCL_LOC", 15}, {"CHECKSUM", 15}, {"LOC_ID", 7}}},
        {"FIM_TemplateRequest", {{"INCL_LOC", 15}, {"LOC_ID", 7}}},
        {"FIM_AgentExclude", {{"EXCL_LOC", 15}}},
        {"FIM_TemplateExclude", {{"EXCL_LOC", 15}}},
    };
    for (const auto& [tableName, columns] : expected) {
        const TableDefn* t = getTableDefn(tableName);
        ASSERT_NE(t, nullptr) << tableName;
        EXPECT_FALSE(t->columns.empty()) << tableName;
        for (const auto& c : t->columns) EXPECT_FALSE(c.generatorName) << tableName << "." << c.name;
        for (const auto& [columnName, type] : columns) {
            const ColumnDefn* c = GetColumnDefnEntry(tableName, columnName);
            ASSERT_NE(c, nullptr) << tableName << "." << columnName;
            EXPECT_EQ(c->type, type) << tableName << "." << columnName;
        }
    }
}

}  // namespace
