// The table-dump loader: rows from elements, the colon rules, inheritance,
// undeclared elements, and documents that must load nothing.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "test_support.h"

using namespace tablestore_test;

namespace {

class Loader : public StoreTest {};

TEST_F(Loader, RootHoldsOneRowPerElementWithAttributesInAnyCase) {
    load(R"(<HostList><Hosts host_id="101" Host_Name="Alpha &amp; Co" DNS_NAME="alpha.localhost"
                 HOST_IPADDRESS="127.0.0.11" UNKNOWN="x">text is ignored</Hosts>
               <HostDetails HOST_ID="101" TYPE="Windows" MON_INTERVAL="2"/></HostList>)");
    ResultHandle r = SelectRows("Hosts", nullptr);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->rowCount, 1);
    GotoNextRowObject(r);
    EXPECT_EQ(int64(r, "HOST_ID"), 101);
    EXPECT_EQ(text(r, "HOST_NAME"), "Alpha & Co");
    EXPECT_EQ(text(r, "dns_name"), "alpha.localhost");
    EXPECT_EQ(text(r, "HOST_IPADDRESS"), "127.0.0.11");
    r = SelectRows("HostDetails", "HOST_ID = 101");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->rowCount, 1);
    GotoNextRowObject(r);
    int len = 0;
    const void* v = GetColumnValueByName("MON_INTERVAL", &len, r);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(len, 4);
    std::int16_t low;  // readers of 16-bit values take the low half
    std::memcpy(&low, v, 2);
    EXPECT_EQ(low, 2);
}

TEST_F(Loader, ColonRulesForTextsAndNumbers) {
    load(R"(<r><Hosts HOST_ID="12abc" HOST_NAME="D:\logs" HOST_IPADDRESS="fe80::1" DNS_NAME="A:B:Z:W"/></r>)");
    ResultHandle r = SelectRows("Hosts", nullptr);
    ASSERT_TRUE(GotoNextRowObject(r));
    EXPECT_EQ(int64(r, "HOST_ID"), 0);  // not a number
    EXPECT_EQ(text(r, "HOST_NAME"), "D:\\logs");  // one colon: whole
    EXPECT_EQ(text(r, "HOST_IPADDRESS"), "1");    // the part after the second colon
    EXPECT_EQ(text(r, "DNS_NAME"), "Z:W");
}

TEST_F(Loader, ReferencesResolveOnceAndAreRemembered) {
    LogCapture log;
    load(R"(<r><Hosts HOST_ID="7:8:9" HOST_NAME="first"/><Hosts HOST_ID="7:8:9" HOST_NAME="second"/>
             <Hosts HOST_ID="::5" HOST_NAME="third"/></r>)");
    ResultHandle r = SelectRows("Hosts", nullptr);
    ASSERT_EQ(r->rowCount, 3);
    GotoNextRowObject(r);
    int len = 0;
    GetColumnValueByName("HOST_ID", &len, r);
    EXPECT_EQ(len, 8);  // stored in the BIGINT column's own width
    EXPECT_EQ(int64(r, "HOST_ID"), 9);
    GotoNextRowObject(r);
    EXPECT_EQ(int64(r, "HOST_ID"), 9);
    GotoNextRowObject(r);
    EXPECT_EQ(GetColumnValueByName("HOST_ID", &len, r), nullptr);  // no table or column: no value
    EXPECT_TRUE(log.contains("Unable to get Column details for AutoID generation \n"));
    EXPECT_EQ(ids("HOST_ID = 9", "Hosts").size(), 2u);
}

TEST_F(Loader, UndeclaredParentsAreSkippedButTheirChildrenLoad) {
    load(R"(<r><Unknown a="1"><Deeper><Hosts HOST_ID="1"/></Deeper></Unknown><Hosts HOST_ID="2"/>
             <Hosts HOST_ID="3"><Hosts HOST_ID="4"/></Hosts></r>)");
    ResultHandle r = SelectRows("Hosts", nullptr);
    std::vector<std::int64_t> order;
    while (GotoNextRowObject(r)) order.push_back(int64(r, "HOST_ID"));
    EXPECT_EQ(order, (std::vector<std::int64_t>{1, 2, 3, 4}));  // depth first, document order
    EXPECT_EQ(GetTableDataByName("Unknown"), nullptr);
}

TEST_F(Loader, AbsentColumnStaysNull) {
    load(R"(<r><Hosts HOST_ID="1"/></r>)");
    ResultHandle r = SelectRows("Hosts", nullptr);
    GotoNextRowObject(r);
    int len = -1;
    EXPECT_EQ(GetColumnValueByName("HOST_NAME", &len, r), nullptr);
    EXPECT_EQ(len, 0);
}

TEST_F(Loader, KeysInheritFromAncestorsAndDescendants) {
    load(R"(<r><Groups GROUPID="7" NAME="g"><Members MEMBER="inside"/></Groups>
             <Members MEMBER="above">
               <Groups GROUPID="8"/>
             </Members>
             <Members MEMBER="orphan"/>
             <Hosts HOST_ID="3"><HostDetails TYPE="Windows"/></Hosts></r>)");
    ResultHandle r = SelectRows("Members", "MEMBER = 'inside'");
    ASSERT_TRUE(GotoNextRowObject(r));
    EXPECT_EQ(int64(r, "GROUP_REF"), 7);
    r = SelectRows("Members", "MEMBER = 'above'");
    ASSERT_TRUE(GotoNextRowObject(r));
    EXPECT_EQ(int64(r, "GROUP_REF"), 8);
    r = SelectRows("Members", "MEMBER = 'orphan'");
    ASSERT_TRUE(GotoNextRowObject(r));
    int len = 0;
    EXPECT_EQ(GetColumnValueByName("GROUP_REF", &len, r), nullptr);
    r = SelectRows("HostDetails", nullptr);
    ASSERT_TRUE(GotoNextRowObject(r));
    EXPECT_EQ(int64(r, "HOST_ID"), 3);  // primary key from the ancestor
}

TEST_F(Loader, BadDocumentsLoadNothing) {
    LogCapture log;
    load("<r><Hosts HOST_ID=\"1\"></r>");
    EXPECT_TRUE(log.contains("error: could not parse file file.xml\n"));
    EXPECT_EQ(GetTableDataByName("Hosts"), nullptr);
    load("");
    load("not xml at all");

    // Nested thousands deep: beyond the parser's depth limit.
    std::string deep = "<r>";
    for (int i = 0; i < 5000; ++i) deep += "<Hosts HOST_ID=\"1\">";
    for (int i = 0; i < 5000; ++i) deep += "</Hosts>";
    load(deep + "</r>");
    EXPECT_EQ(GetTableRowCount("Hosts"), -1);

    // A gigantic attribute is refused by the parser's size limit.
    std::string huge = "<r><Hosts HOST_ID=\"1\" HOST_NAME=\"" + std::string(12u << 20, 'a') + "\"/></r>";
    load(huge);
    EXPECT_EQ(GetTableRowCount("Hosts"), -1);

    // Entities that expand exponentially stay bounded.
    std::string laughs = "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">";
    char prev = 'a';
    for (char c = 'b'; c <= 'k'; ++c, ++prev) {
        std::string refs;
        for (int i = 0; i < 10; ++i) refs += std::string("&") + prev + ";";
        laughs += std::string("<!ENTITY ") + c + " \"" + refs + "\">";
    }
    laughs += "]><r><Hosts HOST_ID=\"5\" HOST_NAME=\"&k;\"/></r>";
    load(laughs);
    EXPECT_LE(GetTableRowCount("Hosts"), 1);
}

TEST_F(Loader, FromFile) {
    auto path = std::filesystem::path(AMBRIK_BINARY_DIR) / "tablestore-loader-test.xml";
    std::ofstream(path) << R"(<r><Hosts HOST_ID="4294967301" HOST_NAME="big"/></r>)";
    loadTableDataFromFile(path.c_str());
    std::filesystem::remove(path);
    EXPECT_EQ(ids("HOST_ID = 4294967301", "Hosts").size(), 1u);
    LogCapture log;
    loadTableDataFromFile("/nonexistent/dump.xml");
    EXPECT_TRUE(log.contains("error: could not parse file file.xml\n"));

    // A large dump from an open file: every row in document order, across
    // the reader's buffers; the document ends at a zero byte after it.
    FreeAllTableData();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
    std::string rows = "<r>";
    for (int i = 0; i < 40000; ++i)
        rows += "<Hosts HOST_ID=\"" + std::to_string(i) + "\" HOST_NAME=\"n" + std::to_string(i) + "\"/>\n";
    rows += "</r>";
    rows += std::string("\0junk<", 6);
    std::fwrite(rows.data(), 1, rows.size(), file.get());
    loadTableDataFromStream(file.get());
    ResultHandle r = SelectRows("Hosts", nullptr);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->rowCount, 40000);
    for (int i = 0; GotoNextRowObject(r); ++i) {
        ASSERT_EQ(int64(r, "HOST_ID"), i);
        ASSERT_EQ(text(r, "HOST_NAME"), "n" + std::to_string(i));
    }

    // A file that reads well once and then fails half-way (a disk error):
    // the rows of the broken second reading are taken out again.
    struct Flaky {
        std::string text;
        std::size_t offset = 0;
        int starts = 0;
    } flaky{rows};
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buffer, std::size_t size) -> ssize_t {
        auto* f = static_cast<Flaky*>(cookie);
        if (f->starts > 1 && f->offset > f->text.size() / 2) return -1;
        const std::size_t n = std::min(size, f->text.size() - f->offset);
        std::memcpy(buffer, f->text.data() + f->offset, n);
        f->offset += n;
        return static_cast<ssize_t>(n);
    };
    io.seek = [](void* cookie, off64_t* position, int whence) {
        auto* f = static_cast<Flaky*>(cookie);
        if (*position != 0 || whence != SEEK_SET) return -1;
        f->offset = 0;
        ++f->starts;
        return 0;
    };
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> broken(fopencookie(&flaky, "r", io), &std::fclose);
    loadTableDataFromStream(broken.get());
    EXPECT_EQ(flaky.starts, 2);
    EXPECT_EQ(GetTableRowCount("Hosts"), 40000);
    EXPECT_TRUE(log.contains("error: could not parse file file.xml\n"));
}

TEST(LoaderWithShippedDictionary, DefaultScenarioHostsAreReadable) {
    const std::string dump = AMBRIK_SOURCE_DIR "/testserver/scenarios/default/hostdetails.xml";
    if (!std::filesystem::exists(dump)) GTEST_SKIP() << "no test server scenario";
    FreeAllTableData();
    ReleaseDataDictionary();
    LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml");
    loadTableDataFromFile(dump.c_str());
    ResultHandle hosts = SelectRows("Hosts", nullptr);
    ResultHandle details = SelectRows("HostDetails", nullptr);
    ASSERT_TRUE(hosts);
    ASSERT_TRUE(details);
    EXPECT_GT(hosts->rowCount, 0);
    EXPECT_EQ(hosts->rowCount, details->rowCount);
    while (GotoNextRowObject(hosts)) {
        int len = 0;
        std::int64_t id = 0;
        const void* v = GetColumnValueByName("HOST_ID", &len, hosts);
        EXPECT_TRUE(ReadColumnInt64(v, len, &id));
        for (const char* col : {"HOST_NAME", "DNS_NAME", "HOST_IPADDRESS"})
            EXPECT_NE(GetColumnValueByName(col, &len, hosts), nullptr) << col;
        std::string criteria = "HOST_ID = " + std::to_string(id);
        ResultHandle one = SelectRows("HostDetails", criteria.c_str());
        ASSERT_TRUE(one);
        ASSERT_EQ(one->rowCount, 1);
        GotoNextRowObject(one);
        for (const char* col : {"DOMAIN_NAME", "TYPE", "USERNAME", "PASSWORD", "LAST_MSG_TIME", "MON_INTERVAL",
                                "LOG_COLLECTION_STATUS", "STATUS"})
            EXPECT_NE(GetColumnValueByName(col, &len, one), nullptr) << col;
    }
    FreeAllTableData();
    ReleaseDataDictionary();
}

// Every attribute of every row element in the test server's default
// scenario names a declared column and is readable after the load: the
// shipped dictionary and the server's dumps agree.
TEST(LoaderWithShippedDictionary, EveryScenarioAttributeIsReadable) {
    const std::filesystem::path scenario = AMBRIK_SOURCE_DIR "/testserver/scenarios/default";
    if (!std::filesystem::exists(scenario)) GTEST_SKIP() << "no test server scenario";
    ReleaseDataDictionary();
    LoadDataDictFromXMLFile(AMBRIK_SOURCE_DIR "/data/data-dictionary.xml");
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(scenario)) {
        if (entry.path().extension() != ".xml") continue;
        FreeAllTableData();
        loadTableDataFromFile(entry.path().c_str());
        xmlDoc* doc = xmlReadFile(entry.path().c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR);
        ASSERT_NE(doc, nullptr) << entry.path();
        std::map<std::string, ResultHandle> results;
        for (xmlNode* n = xmlDocGetRootElement(doc)->children; n; n = n->next) {
            if (n->type != XML_ELEMENT_NODE) continue;
            std::string table = reinterpret_cast<const char*>(n->name);
            ASSERT_NE(getTableDefn(table.c_str()), nullptr) << entry.path() << ": " << table;
            auto& r = results[table];
            if (!r) r = SelectRows(table.c_str(), nullptr);
            ASSERT_TRUE(r) << table;
            ASSERT_NE(GotoNextRowObject(r), nullptr) << table;
            for (xmlAttr* a = n->properties; a; a = a->next) {
                const char* column = reinterpret_cast<const char*>(a->name);
                int len = 0;
                EXPECT_NE(GetColumnValueByName(column, &len, r), nullptr) << table << "." << column;
                ++checked;
            }
        }
        xmlFreeDoc(doc);
    }
    EXPECT_GT(checked, 0);
    FreeAllTableData();
    ReleaseDataDictionary();
}

}  // namespace
