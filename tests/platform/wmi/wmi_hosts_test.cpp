// The simulated hosts as the collection run meets them: connections and
// accounts, the WQL subset with its time condition, logs read again at every
// query, and the faults that host.xml injects into each step.
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "tests/platform/wmi/wmi_test_util.h"

using namespace wmitest;

namespace {

const char* kAccountHost =
    "<host version='6.1.7601' currentTimeZone='330'>"
    "<account user='CORP\\admin' password='Secret1'/></host>";

class Connections : public WmiTest {};

TEST_F(Connections, AccountsAndLocalHost) {
    writeHostXml("dc01.corp.example", kAccountHost);
    ServicesPtr s;
    EXPECT_EQ(connect("//nohost/root/cimv2", s), RPC_S_SERVER_UNAVAILABLE_HR);
    EXPECT_EQ(s, nullptr);
    // Host names are folder names in lower case.
    EXPECT_EQ(connect("//DC01.corp.example/root/cimv2", s, "CORP\\admin", "Secret1"), S_OK_);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(connect("\\\\dc01.corp.example\\root\\cimv2", s, "corp\\ADMIN", "Secret1"), S_OK_);
    EXPECT_EQ(connect("//dc01.corp.example/root/cimv2", s, "CORP\\admin", "secret1"), E_ACCESSDENIED_);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(connect("//dc01.corp.example/root/cimv2", s), E_ACCESSDENIED_);
    EXPECT_EQ(connect("//dc01.corp.example/root/default", s, "CORP\\admin", "Secret1"),
              WBEM_E_INVALID_NAMESPACE);

    // The local host: "." or the agent's own name, with or without a folder.
    EXPECT_EQ(connect("//./root/cimv2", s), S_OK_);
    EXPECT_EQ(connect("ROOT\\CIMV2", s), S_OK_);
    EXPECT_EQ(connect("//AgentBox/root/cimv2", s), S_OK_);
    EXPECT_EQ(connect("//./root/cimv2", s, "CORP\\admin", "Secret1"), WBEM_E_LOCAL_CREDENTIALS);
    EXPECT_EQ(connect("//agentbox/root/cimv2", s, "CORP\\admin", "Secret1"), WBEM_E_LOCAL_CREDENTIALS);

    // A blanket with the wrong identity is refused like the connection.
    ASSERT_EQ(connect("//dc01.corp.example/root/cimv2", s, "CORP\\admin", "Secret1"), S_OK_);
    AuthIdentity good{"admin", "CORP", "Secret1"};
    AuthIdentity bad{"admin", "CORP", "nope"};
    ProxyBlanket blanket;
    blanket.identity = &good;
    EXPECT_EQ(s->setProxyBlanket(blanket), S_OK_);
    blanket.identity = &bad;
    EXPECT_EQ(s->setProxyBlanket(blanket), E_ACCESSDENIED_);
}

TEST_F(Connections, ComStepsOnAThread) {
    EXPECT_EQ(initializeCom(), S_FALSE_);  // already done by the fixture
    uninitializeCom();
    const HResult first = initializeSecurity(RPC_C_AUTHN_LEVEL_NONE_, RPC_C_IMP_LEVEL_IMPERSONATE_);
    EXPECT_TRUE(first == S_OK_ || first == RPC_E_TOO_LATE_);
    EXPECT_EQ(initializeSecurity(RPC_C_AUTHN_LEVEL_NONE_, RPC_C_IMP_LEVEL_IMPERSONATE_), RPC_E_TOO_LATE_);
    HResult onOtherThread = 0;
    std::thread([&] {
        LocatorPtr locator;
        onOtherThread = createLocator(locator);
    }).join();
    EXPECT_EQ(onOtherThread, CO_E_NOTINITIALIZED_);
}

TEST_F(Connections, VersionQueryAndMissingOrBrokenHostXml) {
    writeHostXml("h1", kAccountHost);
    ServicesPtr s;
    ASSERT_EQ(connect("//h1/root/cimv2", s, "CORP\\admin", "Secret1"), S_OK_);
    EnumeratorPtr e;
    ASSERT_EQ(s->execQuery("WQL", "Select CurrentTimeZone, Version from Win32_OperatingSystem", 48, e), S_OK_);
    ObjectPtr o;
    ASSERT_EQ(e->next(WBEM_INFINITE, o), WBEM_S_NO_ERROR);
    EXPECT_EQ(text(o, "Version"), "6.1.7601");
    EXPECT_EQ(integer(o, "CurrentTimeZone"), 330);
    EXPECT_EQ(e->next(WBEM_INFINITE, o), WBEM_S_FALSE);
    EXPECT_EQ(o, nullptr);

    // No host.xml: a folder of logs dropped as they are; any account.
    fs::create_directories(host("plain"));
    EXPECT_EQ(connect("//plain/root/cimv2", s, "X\\y", "z"), S_OK_);
    EXPECT_TRUE(diagnosed("has no host.xml"));

    const char* broken[] = {
        "<host version='10.0'",                               // truncated
        "not xml at all",                                     // not XML
        "<hosts/>",                                           // wrong root
        "<host currentTimeZone='east'/>",                     // not a number
        "<host><fault step='bogus' hresult='0x1'/></host>",   // unknown step
        "<host><fault step='next' hresult='many'/></host>",   // bad result code
        "<host><fault step='next' hresult='1' count='-2'/></host>",
        "<host><fault step='next' hresult='0x40004' cuont='3'/></host>",  // misspelt
        "<host><faults/></host>",
        "<host Version='10.0'/>",
    };
    for (const char* text : broken) {
        writeHostXml("bad", text);
        EXPECT_EQ(connect("//bad/root/cimv2", s), WBEM_E_FAILED) << text;
        EXPECT_NE(lastDiagnostic().find("host.xml"), std::string::npos) << text;
    }
}

// ---------------------------------------------------------------- queries

class Queries : public WmiTest {};

TEST_F(Queries, OnlyTheKnownQueriesAreUnderstood) {
    writeHostXml("h1", "<host/>");
    ServicesPtr s;
    ASSERT_EQ(connect("//h1/root/cimv2", s), S_OK_);
    EnumeratorPtr e;
    const char* good[] = {
        "Select * from Win32_NTLogEvent",
        "Select * from Win32_NTLogEvent where TimeGenerated > '20240310120000.000000+060'",
        "SELECT * FROM win32_ntlogevent WHERE TimeGenerated > '20240310120000.000000-300'",
        "Select CurrentTimeZone, Version from Win32_OperatingSystem",
        "SELECT * FROM CIM_DATAFILE where Name ='c:\\\\tmp\\\\x.txt'",
        "SELECT * FROM CIM_Directory where Name ='c:\\\\tmp'",
    };
    for (const char* q : good) EXPECT_EQ(s->execQuery("WQL", q, 48, e), S_OK_) << q;
    const char* bad[] = {
        "",
        "Select * from Win32_Process",
        "Delete from Win32_NTLogEvent",
        "Select * from Win32_NTLogEvent where EventCode = 4624",
        "Select * from Win32_NTLogEvent where TimeGenerated > 'yesterday'",
        "Select * from Win32_NTLogEvent where TimeGenerated > '20240310120000.000000'",
        "Select * from Win32_NTLogEvent where TimeGenerated > '20241310120000.000000+000'",
        "Select * from Win32_NTLogEvent where TimeGenerated > '2024031012000",
        "SELECT * FROM CIM_DATAFILE where Name ='c:\\\\it's.txt'",
        "Select * from",
    };
    for (const char* q : bad) {
        EXPECT_EQ(s->execQuery("WQL", q, 48, e), WBEM_E_INVALID_QUERY) << q;
        EXPECT_EQ(e, nullptr);
    }
    // A zero byte in the text once made the word splitter loop for ever.
    EXPECT_EQ(s->execQuery("WQL", std::string("/\n\0", 3), 48, e), WBEM_E_INVALID_QUERY);
    EXPECT_EQ(s->execQuery("WQL", std::string("Select * from Win32_NTLogEvent\0x", 32), 48, e),
              WBEM_E_INVALID_QUERY);
    EXPECT_EQ(s->execQuery("SQL", good[0], 48, e), WBEM_E_INVALID_QUERY_TYPE);
}

TEST_F(Queries, TimeConditionComparesInstants) {
    writeHostXml("h1", "<host currentTimeZone='60'/>");
    std::string file = "<Events>";
    const char* times[] = {"2024-03-10T11:59:59Z", "2024-03-10T12:00:00Z", "2024-03-10T12:00:01Z",
                           "2024-03-10T17:30:00Z"};
    long long record = 1;
    for (const char* t : times) {
        EventXml e;
        e.systemTime = t;
        e.recordId = record++;
        file += eventXml(e);
    }
    writeFile(host("h1") / "a.xml", file + "</Events>");

    auto recordsAfter = [&](const std::string& dmtf) {
        std::vector<std::int64_t> numbers;
        for (const auto& o : query("h1", "Select * from Win32_NTLogEvent where TimeGenerated > '" + dmtf + "'"))
            numbers.push_back(integer(o, "RecordNumber"));
        return numbers;
    };
    using V = std::vector<std::int64_t>;
    // 12:00 UTC written in three offsets: the same instant, strictly after.
    EXPECT_EQ(recordsAfter("20240310120000.000000+000"), (V{3, 4}));
    EXPECT_EQ(recordsAfter("20240310130000.000000+060"), (V{3, 4}));
    EXPECT_EQ(recordsAfter("20240310070000.000000-300"), (V{3, 4}));
    EXPECT_EQ(recordsAfter("20240310173000.000000+330"), (V{3, 4}));
    EXPECT_EQ(recordsAfter("20240310115959.500000+000"), (V{2, 3, 4}));
    EXPECT_EQ(recordsAfter("20240310183000.000000+060"), V{});
    // The newest event's TimeWritten as the next condition finds nothing new.
    auto all = query("h1", kAllEvents);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(recordsAfter(text(all[3], "TimeWritten")), V{});
    EXPECT_EQ(recordsAfter(text(all[1], "TimeWritten")), (V{3, 4}));
}

TEST_F(Queries, LogsAreReadAgainAtEveryQuery) {
    writeHostXml("h1", "<host/>");
    EventXml e;
    e.recordId = 1;
    writeFile(host("h1") / "App.xml", eventXml(e));
    ServicesPtr s;
    EnumeratorPtr first = openQuery("h1", kAllEvents, &s);
    ASSERT_NE(first, nullptr);
    ObjectPtr o;
    ASSERT_EQ(first->next(0, o), WBEM_S_NO_ERROR);
    EXPECT_EQ(first->next(0, o), WBEM_S_FALSE);

    e.recordId = 2;
    appendFile(host("h1") / "App.xml", eventXml(e));
    e.recordId = 3;
    writeFile(host("h1") / "Sys.xml", eventXml(e));
    EnumeratorPtr second;
    ASSERT_EQ(s->execQuery("WQL", kAllEvents, 48, second), S_OK_);
    std::vector<std::int64_t> numbers;
    while (second->next(0, o) == WBEM_S_NO_ERROR) numbers.push_back(integer(o, "RecordNumber"));
    EXPECT_EQ(numbers, (std::vector<std::int64_t>{1, 2, 3}));
}

TEST_F(Queries, FilesAndDirectoriesFromTheLocalFileSystem) {
    const fs::path dir = root / "data dir";
    writeFile(dir / "Report.TXT", "12345");
    writeFile(dir / ".hidden", "");
    ServicesPtr s;
    ASSERT_EQ(connect("ROOT\\CIMV2", s), S_OK_);
    auto one = [&](const std::string& cls, const std::string& windowsPath) -> ObjectPtr {
        std::string escaped;
        for (char c : windowsPath) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        EnumeratorPtr e;
        EXPECT_EQ(s->execQuery("WQL", "SELECT * FROM " + cls + " where Name ='" + escaped + "'", 48, e), S_OK_);
        ObjectPtr o;
        if (!e || e->next(WBEM_INFINITE, o) != WBEM_S_NO_ERROR) return nullptr;
        ObjectPtr more;
        EXPECT_EQ(e->next(WBEM_INFINITE, more), WBEM_S_FALSE);
        return o;
    };
    std::string winDir = "C:" + dir.string();
    for (char& c : winDir)
        if (c == '/') c = '\\';
    ObjectPtr file = one("CIM_DATAFILE", winDir + "\\Report.TXT");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(text(file, "Name"), toLowerForTest(winDir + "\\report.txt"));
    EXPECT_EQ(text(file, "FileSize"), "5");
    EXPECT_EQ(text(file, "Extension"), "txt");
    EXPECT_EQ(text(file, "Status"), "OK");
    EXPECT_FALSE(prop(file, "Hidden").boolean);
    EXPECT_EQ(prop(file, "Encrypted").type, Variant::Type::Boolean);
    EXPECT_TRUE(prop(file, "Version").isNull());
    const std::string modified = text(file, "LastModified");
    EXPECT_EQ(modified.size(), 25u) << modified;
    EXPECT_TRUE(prop(one("CIM_DATAFILE", winDir + "\\.hidden"), "Hidden").boolean);

    ObjectPtr folder = one("CIM_Directory", winDir);
    ASSERT_NE(folder, nullptr);
    Variant size;
    EXPECT_EQ(folder->get("FileSize", size), WBEM_E_NOT_FOUND);
    // The wrong kind, a missing item and another drive find nothing.
    EXPECT_EQ(one("CIM_Directory", winDir + "\\Report.TXT"), nullptr);
    EXPECT_EQ(one("CIM_DATAFILE", winDir), nullptr);
    EXPECT_EQ(one("CIM_DATAFILE", winDir + "\\missing.txt"), nullptr);
    EXPECT_EQ(one("CIM_DATAFILE", "D:\\Report.TXT"), nullptr);
}

// ---------------------------------------------------------------- faults

class Faults : public WmiTest {
protected:
    void SetUp() override {
        WmiTest::SetUp();
        EventXml e;
        std::string file;
        for (int i = 1; i <= 5; ++i) {
            e.recordId = i;
            file += eventXml(e);
        }
        writeFile(host("h1") / "a.xml", file);
    }
};

TEST_F(Faults, CountedFaultsOfConnectBlanketQueryAndVersion) {
    writeHostXml("h1",
                 "<host>"
                 "<fault step='connect' hresult='0x80070005' count='1'/>"
                 "<fault step='connect' hresult='0x80041003' count='1'/>"
                 "<fault step='blanket' hresult='0x80070005' count='1'/>"
                 "<fault step='query' hresult='0x80041006' count='1'/>"
                 "<fault step='version' hresult='0x80041010'/>"
                 "</host>");
    ServicesPtr s;
    EXPECT_EQ(connect("//h1/root/cimv2", s), E_ACCESSDENIED_);
    EXPECT_EQ(connect("//h1/root/cimv2", s), WBEM_E_ACCESS_DENIED);
    ASSERT_EQ(connect("//h1/root/cimv2", s), S_OK_);
    ProxyBlanket blanket;
    EXPECT_EQ(s->setProxyBlanket(blanket), E_ACCESSDENIED_);
    blanket.authnLevel = RPC_C_AUTHN_LEVEL_PKT_;
    EXPECT_EQ(s->setProxyBlanket(blanket), S_OK_);
    EnumeratorPtr e;
    EXPECT_EQ(s->execQuery("WQL", kAllEvents, 48, e), WBEM_E_OUT_OF_MEMORY);
    EXPECT_EQ(s->execQuery("WQL", kAllEvents, 48, e), S_OK_);
    EXPECT_EQ(e->setProxyBlanket(blanket), S_OK_);
    // Without a count the fault answers every time.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(s->execQuery("WQL", "Select CurrentTimeZone, Version from Win32_OperatingSystem", 48, e),
                  WBEM_E_INVALID_CLASS);

    // Rewriting host.xml starts its counts again.
    writeHostXml("h1", "<host><fault step='connect' hresult='0x800706BA' count='1'/></host>");
    EXPECT_EQ(connect("//h1/root/cimv2", s), RPC_S_SERVER_UNAVAILABLE_HR);
    EXPECT_EQ(connect("//h1/root/cimv2", s), S_OK_);
}

TEST_F(Faults, NextTimesOutThenDeliversAndFailsMidway) {
    writeHostXml("h1",
                 "<host><fault step='next' hresult='0x40004' count='3'/>"
                 "<fault step='next' hresult='0x80041006' count='1' after='2'/></host>");
    ServicesPtr s;
    ASSERT_EQ(connect("//h1/root/cimv2", s), S_OK_);
    for (int run = 0; run < 2; ++run) {  // each enumerator starts the counts afresh
        EnumeratorPtr e;
        ASSERT_EQ(s->execQuery("WQL", kAllEvents, 48, e), S_OK_);
        std::vector<HResult> results;
        ObjectPtr o;
        HResult hr;
        while ((hr = e->next(500, o)) != WBEM_S_FALSE) {
            results.push_back(hr);
            EXPECT_EQ(o != nullptr, hr == WBEM_S_NO_ERROR);
        }
        EXPECT_EQ(results, (std::vector<HResult>{WBEM_S_TIMEDOUT, WBEM_S_TIMEDOUT, WBEM_S_TIMEDOUT, 0, 0,
                                                 WBEM_E_OUT_OF_MEMORY, 0, 0, 0}));
    }
}

TEST_F(Faults, DelayPerObjectOnTheManualClock) {
    writeHostXml("h1", "<host><delay ms='1200'/></host>");
    platform::useManualClock(1'700'000'000'000);
    EnumeratorPtr e = openQuery("h1", kAllEvents);
    ASSERT_NE(e, nullptr);
    ObjectPtr o;
    EXPECT_EQ(e->next(0, o), WBEM_S_TIMEDOUT);
    platform::advanceClock(1199);
    EXPECT_EQ(e->next(0, o), WBEM_S_TIMEDOUT);
    platform::advanceClock(1);
    EXPECT_EQ(e->next(0, o), WBEM_S_NO_ERROR);
    EXPECT_EQ(e->next(0, o), WBEM_S_TIMEDOUT);  // the next one takes its own 1200 ms
    // A waiting Next returns as soon as the object is ready.
    std::thread clockHand([] {
        for (int i = 0; i < 12; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            platform::advanceClock(100);
        }
    });
    EXPECT_EQ(e->next(WBEM_INFINITE, o), WBEM_S_NO_ERROR);
    clockHand.join();
    platform::useSystemClock();
}

}  // namespace
