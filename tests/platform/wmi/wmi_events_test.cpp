// Events of the simulated hosts as Win32_NTLogEvent objects: the property
// mapping from event XML, the real EVTX samples, and the message texts.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "tests/platform/wmi/wmi_test_util.h"
#include "tests/support/sample_logs.h"

using namespace wmitest;

namespace {

const char* kHostXml = "<host version='10.0.17763' currentTimeZone='60'/>";

class EventMapping : public WmiTest {};

TEST_F(EventMapping, PropertiesOfARenderedEvent) {
    writeHostXml("h1", kHostXml);
    EventXml e;
    e.channel = "System";
    e.provider = "Microsoft-Windows-Service Control Manager";
    e.eventSourceName = "Service Control Manager";
    e.eventId = 7036;
    e.qualifiers = 16384;
    e.level = 4;
    e.task = 0;
    e.systemTime = "2024-03-10T23:30:15.987654321Z";
    e.recordId = 4242;
    e.computer = "DC01.corp.example";
    e.data = {"Windows Update", "running", ""};
    e.binary = "570069006E00";
    e.hasMessage = true;
    e.message = "The Windows Update service entered the running state.";
    e.taskName = "None";
    writeFile(host("h1") / "System.xml", "<Events>" + eventXml(e) + "</Events>");

    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), 1u);
    const ObjectPtr& o = objects[0];
    EXPECT_EQ(text(o, "Logfile"), "System");
    EXPECT_EQ(text(o, "SourceName"), "Service Control Manager");  // EventSourceName wins
    EXPECT_EQ(integer(o, "EventCode"), 7036);
    EXPECT_EQ(integer(o, "EventIdentifier"), 7036 | (16384 << 16));
    EXPECT_EQ(integer(o, "EventType"), 3);
    EXPECT_EQ(text(o, "Type"), "Information");
    // 23:30:15 UTC in a host 60 minutes east is 00:30:15 the next day.
    EXPECT_EQ(text(o, "TimeGenerated"), "20240311003015.000000+060");
    EXPECT_EQ(text(o, "TimeWritten"), "20240311003015.000000+060");
    EXPECT_EQ(text(o, "Message"), e.message);
    Variant strings = prop(o, "InsertionStrings");
    ASSERT_EQ(strings.type, Variant::Type::TextArray);
    EXPECT_EQ(strings.texts, (std::vector<std::string>{"Windows Update", "running", ""}));
    Variant data = prop(o, "Data");
    ASSERT_EQ(data.type, Variant::Type::Bytes);
    EXPECT_EQ(data.bytes, (std::vector<std::uint8_t>{0x57, 0, 0x69, 0, 0x6E, 0}));
    EXPECT_EQ(integer(o, "RecordNumber"), 4242);
    EXPECT_EQ(text(o, "ComputerName"), "DC01.corp.example");
    EXPECT_EQ(integer(o, "Category"), 0);
    EXPECT_EQ(text(o, "CategoryString"), "None");
    Variant v;
    EXPECT_EQ(o->get("NoSuchProperty", v), WBEM_E_NOT_FOUND);
    EXPECT_TRUE(v.isNull());
    // Property names are not case-sensitive in WMI.
    EXPECT_EQ(integer(o, "eventcode"), 7036);
}

TEST_F(EventMapping, TypeFromKeywordsAndLevel) {
    writeHostXml("h1", kHostXml);
    struct Case {
        int level;
        const char* keywords;
        int type;
        const char* text;
    };
    const Case cases[] = {
        {0, "0x8020000000000000", 4, "Audit Success"}, {0, "0x8010000000000000", 5, "Audit Failure"},
        {2, "0x8010000000000000", 5, "Audit Failure"}, {1, "0x80000000000000", 1, "Error"},
        {2, "0x80000000000000", 1, "Error"},           {3, "0x80000000000000", 2, "Warning"},
        {4, "0x80000000000000", 3, "Information"},     {0, "0x80000000000000", 3, "Information"},
        {5, "0x0", 3, "Information"},
    };
    std::string file = "<Events>";
    long long record = 1;
    for (const Case& c : cases) {
        EventXml e;
        e.level = c.level;
        e.keywords = c.keywords;
        e.recordId = record++;
        file += eventXml(e);
    }
    writeFile(host("h1") / "a.xml", file + "</Events>");
    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), std::size(cases));
    for (std::size_t i = 0; i < objects.size(); ++i) {
        EXPECT_EQ(integer(objects[i], "EventType"), cases[i].type) << i;
        EXPECT_EQ(text(objects[i], "Type"), cases[i].text) << i;
    }
}

TEST_F(EventMapping, AbsentValuesAreNullAndUserDataGivesStrings) {
    writeHostXml("h1", "<host version='6.1.7601' currentTimeZone='-300'/>");
    EventXml noStrings;  // no message, no data, no binary
    EventXml userData;
    userData.eventData = false;
    userData.eventId = 1102;
    userData.userData =
        "<LogFileCleared xmlns='http://manifests.microsoft.com/win/2004/08/windows/eventlog'>"
        "<SubjectUserSid>S-1-5-21-1</SubjectUserSid><SubjectUserName>admin</SubjectUserName>"
        "<Nested><SubjectDomainName>CORP</SubjectDomainName></Nested></LogFileCleared>";
    userData.systemTime = "2024-03-10T02:00:00Z";
    writeFile(host("h1") / "a.xml", eventXml(noStrings) + eventXml(userData));

    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_TRUE(prop(objects[0], "Message").isNull());
    EXPECT_TRUE(prop(objects[0], "InsertionStrings").isNull());
    EXPECT_TRUE(prop(objects[0], "Data").isNull());
    EXPECT_TRUE(prop(objects[0], "CategoryString").isNull());
    Variant strings = prop(objects[1], "InsertionStrings");
    ASSERT_EQ(strings.type, Variant::Type::TextArray);
    EXPECT_EQ(strings.texts, (std::vector<std::string>{"S-1-5-21-1", "admin", "CORP"}));
    // Five hours west: 02:00 UTC is 21:00 the day before.
    EXPECT_EQ(text(objects[1], "TimeGenerated"), "20240309210000.000000-300");
}

TEST_F(EventMapping, BareEventsWithDeclarationAndFileOrder) {
    writeHostXml("h1", kHostXml);
    EventXml e;
    std::string bare = "<?xml version='1.0' encoding='UTF-8'?>\n";
    for (int i = 1; i <= 3; ++i) {
        e.recordId = i;
        bare += eventXml(e);
    }
    writeFile(host("h1") / "b.xml", bare);  // wevtutil qe without a root element
    e.recordId = 10;
    writeFile(host("h1") / "a.xml", "\xEF\xBB\xBF<Events>" + eventXml(e) + "</Events>");
    writeFile(host("h1") / "notes.txt", "not a log");

    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), 4u);
    EXPECT_EQ(integer(objects[0], "RecordNumber"), 10);  // a.xml before b.xml
    EXPECT_EQ(integer(objects[1], "RecordNumber"), 1);
    EXPECT_EQ(integer(objects[3], "RecordNumber"), 3);
}

// A log saved as UTF-16 (as PowerShell's redirection writes it), with text
// outside ASCII and outside the basic plane.
TEST_F(EventMapping, Utf16LogFile) {
    writeHostXml("h1", kHostXml);
    EventXml e;
    e.data = {"Ren\xC3\xA9" "e", "\xF0\x9F\x94\x91 key", "\xE6\x97\xA5\xE6\x9C\xAC"};
    const std::string utf8 = "<?xml version='1.0' encoding='UTF-16'?>\n<Events>" + eventXml(e) + eventXml(e) + "</Events>";
    // UTF-8 to UTF-16LE with a byte order mark.
    std::string bytes = "\xFF\xFE";
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp;
        int extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if (c < 0xE0) { cp = c & 0x1F; extra = 1; }
        else if (c < 0xF0) { cp = c & 0x0F; extra = 2; }
        else { cp = c & 0x07; extra = 3; }
        for (int k = 1; k <= extra; ++k) cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += 1 + extra;
        auto unit = [&](std::uint32_t u) { bytes += static_cast<char>(u & 0xFF); bytes += static_cast<char>(u >> 8); };
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    writeFile(host("h1") / "a.xml", bytes);
    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(prop(objects[1], "InsertionStrings").texts, e.data);
}

// ---------------------------------------------------------------- real samples

class RealSamples : public WmiTest {
protected:
    void SetUp() override {
        WmiTest::SetUp();
        SKIP_WITHOUT_SAMPLE_LOGS();
        sampleDir = sampleLogsDir();
    }
    std::string sampleDir;
    void drop(const std::string& relative, const std::string& as) {
        fs::create_directories(host("h1"));
        fs::create_symlink(sampleDir + relative, host("h1") / as);
    }
};

TEST_F(RealSamples, SecurityLogonEventAsEvtxExportShowsIt) {
    writeHostXml("h1", "<host version='10.0.14393' currentTimeZone='0'/>");
    drop("omerbenamram-evtx/samples/security.evtx", "Security.evtx");
    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), 2261u);
    // Record 2 is a 4624 logon of SYSTEM (evtxexport: 20 strings, 6th SYSTEM).
    const ObjectPtr& logon = objects[1];
    EXPECT_EQ(integer(logon, "RecordNumber"), 2);
    EXPECT_EQ(integer(logon, "EventCode"), 4624);
    EXPECT_EQ(integer(logon, "EventIdentifier"), 4624);
    EXPECT_EQ(text(logon, "Logfile"), "Security");
    EXPECT_EQ(text(logon, "SourceName"), "Microsoft-Windows-Security-Auditing");
    EXPECT_EQ(text(logon, "ComputerName"), "37L4247F27-25");
    EXPECT_EQ(integer(logon, "EventType"), 4);
    EXPECT_EQ(integer(logon, "Category"), 12544);
    EXPECT_EQ(text(logon, "TimeGenerated"), "20160708181251.000000+000");
    EXPECT_TRUE(prop(logon, "Message").isNull());
    Variant strings = prop(logon, "InsertionStrings");
    ASSERT_EQ(strings.texts.size(), 20u);
    EXPECT_EQ(strings.texts[0], "S-1-0-0");
    EXPECT_EQ(strings.texts[5], "SYSTEM");
    EXPECT_EQ(strings.texts[6], "NT AUTHORITY");
    EXPECT_EQ(strings.texts[17], "");
    // Records come in file order.
    for (std::size_t i = 1; i < objects.size(); ++i)
        ASSERT_LT(integer(objects[i - 1], "RecordNumber"), integer(objects[i], "RecordNumber"));
}

// Values are the event's own: a privilege list keeps its CR LF line ends and
// a policy value of 0x03 keeps its control character, and no record loses its
// channel.
TEST_F(RealSamples, ValuesKeepLineEndsAndControlCharacters) {
    drop("omerbenamram-evtx/samples/security.evtx", "Security.evtx");
    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), 2261u);
    bool privileges = false, policy = false;
    for (const auto& o : objects) {
        ASSERT_EQ(text(o, "Logfile"), "Security") << integer(o, "RecordNumber");
        const Variant strings = prop(o, "InsertionStrings");
        for (const std::string& value : strings.texts) {
            if (value.rfind("SeAssignPrimaryTokenPrivilege\r\n\t\t\tSeTcbPrivilege", 0) == 0) privileges = true;
            if (value == "\x03") policy = true;
        }
    }
    EXPECT_TRUE(privileges);
    EXPECT_TRUE(policy);
}

// LiveId events 6115 and 6116 hold an XML document as a value, which the
// rendered XML of the record carries unescaped: the value comes back whole,
// and the values after it keep their places.
TEST_F(RealSamples, ValueThatIsMarkupStaysWhole) {
    drop("williballenthin-python-evtx/tests/data/issue_39.evtx", "LiveId.evtx");
    auto objects = query("h1", kAllEvents);
    auto record9 = std::find_if(objects.begin(), objects.end(),
                                [](const ObjectPtr& o) { return integer(o, "RecordNumber") == 9; });
    ASSERT_NE(record9, objects.end());
    const Variant strings = prop(*record9, "InsertionStrings");
    ASSERT_FALSE(strings.texts.empty());
    bool whole = false;
    for (const std::string& value : strings.texts)
        if (value.rfind("<DeviceAddRequest><ClientInfo", 0) == 0 &&
            value.find("</DeviceAddRequest>") == value.size() - 19)
            whole = true;
    EXPECT_TRUE(whole);
    std::size_t markup = 0;
    for (const auto& event : objects)
        for (const std::string& value : prop(event, "InsertionStrings").texts)
            if (value.rfind("<DeviceAddRequest>", 0) == 0) ++markup;
    EXPECT_GT(markup, 1u);
}

TEST_F(RealSamples, ClassicSystemEventsKeepQualifiersAndBinaryData) {
    writeHostXml("h1", "<host version='10.0.15063' currentTimeZone='120'/>");
    drop("omerbenamram-evtx/samples/system.evtx", "System.evtx");  // flagged as damaged
    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), 1881u);
    EXPECT_TRUE(diagnosed("is damaged"));
    // 6009 of EventLog with Qualifiers 32768.
    EXPECT_EQ(integer(objects[0], "EventCode"), 6009);
    EXPECT_EQ(integer(objects[0], "EventIdentifier"), 0x80001779);
    EXPECT_EQ(text(objects[0], "TimeGenerated"), "20170712191628.000000+120");
    // 6005 carries only <Binary>: 24 bytes of data and no insertion strings.
    EXPECT_EQ(integer(objects[1], "EventCode"), 6005);
    EXPECT_TRUE(prop(objects[1], "InsertionStrings").isNull());
    Variant data = prop(objects[1], "Data");
    ASSERT_EQ(data.bytes.size(), 24u);
    EXPECT_EQ(data.bytes[0], 0xE1);
    EXPECT_EQ(data.bytes[1], 0x07);
}

TEST_F(RealSamples, UserDataEventAndDamagedFilesAreRead) {
    drop("mdecrevoisier-EVTX-to-MITRE-Attack/TA0003-Persistence/T1136-Create account/"
         "ID472, 4728 Hidden user creation.evtx",
         "a.evtx");
    drop("omerbenamram-evtx/samples/sample_with_a_bad_chunk_magic.evtx", "b.evtx");
    drop("omerbenamram-evtx/samples/Application_no_crc32.evtx", "c.evtx");
    HResult end = 0;
    auto objects = query("h1", kAllEvents, &end);
    EXPECT_EQ(end, WBEM_S_FALSE);
    ASSERT_EQ(objects.size(), 21u + 267u + 17u);
    // 1102 "log cleared" has its values under UserData.
    EXPECT_EQ(integer(objects[0], "EventCode"), 1102);
    Variant strings = prop(objects[0], "InsertionStrings");
    ASSERT_EQ(strings.texts.size(), 4u);
    EXPECT_EQ(strings.texts[1], "admmig");
    EXPECT_EQ(text(objects[21], "Logfile"), "Microsoft-Windows-AppXDeployment/Operational");
    EXPECT_EQ(text(objects[21 + 267], "Logfile"), "Application");
}

// Events are read two ways: plain XML (what libevtx renders) by a quick
// reader, anything else by libxml2. A comment inside an event sends it the
// second way; both must give the same objects, for tricky events written
// here and for the real records as evtxexport renders them (without the
// carriage returns and control characters that only the quick reader keeps).
bool sameValue(const Variant& a, const Variant& b) {
    return a.type == b.type && a.boolean == b.boolean && a.integer == b.integer && a.text == b.text &&
           a.texts == b.texts && a.bytes == b.bytes;
}

std::string withCommentInEachEvent(const std::string& xml) {
    std::string out;
    std::size_t from = 0;
    for (;;) {
        std::size_t at = xml.find("<Event", from);
        while (at != std::string::npos && xml[at + 6] != ' ' && xml[at + 6] != '>') at = xml.find("<Event", at + 1);
        if (at == std::string::npos) break;
        const std::size_t close = xml.find('>', at);
        out.append(xml, from, close + 1 - from);
        out += "<!-- read by libxml2 -->";
        from = close + 1;
    }
    out.append(xml, from, std::string::npos);
    return out;
}

TEST_F(RealSamples, BothXmlReadersAgree) {
    EventXml tricky;
    tricky.data = {"a&b<c>\"q\" 'apos'", "", "  spaced\ttab  ", "line\nbreak"};
    tricky.binary = "00FF10ab";
    tricky.hasMessage = true;
    tricky.message = "Message with <angle> & \"quotes\"\n\tand a tab";
    tricky.taskName = "Logon";
    tricky.eventSourceName = "Src";
    tricky.qualifiers = 49152;
    EventXml nested;
    nested.eventData = false;
    nested.userData = "<A xmlns='urn:x'><B>1</B><C><D>two &amp; more</D><E/></C><F attr='v'>3</F></A>";
    std::string xml = "<Events>" + eventXml(tricky) + eventXml(nested) +
                      "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
                      "<EventID Qualifiers = \"16384\" >7036</EventID><Channel>Sys&#116;em</Channel>"
                      "<TimeCreated SystemTime=\"2024-01-02T03:04:05Z\"/></System><EventData>"
                      "<Data>&#65;&#x42;&#x20AC;&#x1F511;</Data><Data/></EventData></Event>"
                      "<ev:Event xmlns:ev='http://schemas.microsoft.com/win/2004/08/events/event'>"
                      "<ev:System><ev:EventID>5</ev:EventID></ev:System></ev:Event>";
    const std::string samples[] = {"omerbenamram-evtx/samples/security.evtx", "omerbenamram-evtx/samples/system.evtx"};
    for (const std::string& sample : samples) {
        const fs::path out = root / "export.xml";
        const std::string command = "evtxexport -f xml '" + sampleDir + sample + "' > '" + out.string() + "' 2>/dev/null";
        if (std::system(command.c_str()) != 0) continue;  // without evtxexport the written events still count
        std::ifstream in(out, std::ios::binary);
        for (char c : std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()))
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\n' || c == '\t') xml += c;
    }
    writeFile(host("plain") / "a.xml", xml + "</Events>");
    writeFile(host("full") / "a.xml", withCommentInEachEvent(xml) + "</Events>");
    auto plain = query("plain", kAllEvents);
    auto full = query("full", kAllEvents);
    ASSERT_EQ(plain.size(), full.size());
    ASSERT_GE(plain.size(), 4u);
    const char* names[] = {"Category", "CategoryString", "ComputerName", "Data", "EventCode", "EventIdentifier",
                           "EventType", "InsertionStrings", "Logfile", "Message", "RecordNumber", "SourceName",
                           "TimeGenerated", "TimeWritten", "Type", "User"};
    for (std::size_t i = 0; i < plain.size(); ++i)
        for (const char* name : names) ASSERT_TRUE(sameValue(prop(plain[i], name), prop(full[i], name))) << i << " " << name;
    EXPECT_EQ(prop(plain[0], "InsertionStrings").texts, tricky.data);
    EXPECT_EQ(prop(plain[1], "InsertionStrings").texts, (std::vector<std::string>{"1", "two & more", "", "3"}));
    EXPECT_EQ(text(plain[2], "Logfile"), "System");
    EXPECT_EQ(prop(plain[2], "InsertionStrings").texts,
              (std::vector<std::string>{"AB\xE2\x82\xAC\xF0\x9F\x94\x91", ""}));
    EXPECT_EQ(integer(plain[3], "EventCode"), 5);
}

// Five collector threads read the same host at once, as the agent's
// collectors may; each gets every record.
TEST_F(RealSamples, CollectorsReadAtTheSameTime) {
    drop("omerbenamram-evtx/samples/Security_with_size_t.evtx", "a.evtx");
    writeFile(host("h1") / "b.xml", eventXml(EventXml{}));
    std::vector<std::size_t> counts(5);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < counts.size(); ++t) {
        threads.emplace_back([&, t] {
            initializeCom();
            LocatorPtr locator;
            ServicesPtr services;
            EnumeratorPtr e;
            if (succeeded(createLocator(locator)) &&
                succeeded(locator->connectServer("//h1/root/cimv2", "", "", "", 0, services)) &&
                succeeded(services->execQuery("WQL", kAllEvents, 48, e))) {
                ObjectPtr o;
                Variant v;
                while (e->next(500, o) == WBEM_S_NO_ERROR && succeeded(o->get("InsertionStrings", v)))
                    ++counts[t];
            }
            uninitializeCom();
        });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t count : counts) EXPECT_EQ(count, 636u + 1u);
}

// A rendered message from a real export (the OTRF JSON line of a 4689),
// written as RenderingInfo, comes back byte for byte with Windows line ends.
std::string jsonField(const std::string& line, const std::string& key) {
    const std::string marker = "\"" + key + "\":\"";
    std::size_t i = line.find(marker);
    if (i == std::string::npos) return "";
    std::string out;
    for (i += marker.size(); i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\') {
            out += line[i];
            continue;
        }
        const char c = line[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
    }
    return out;
}

TEST_F(RealSamples, RenderedMessageOfARealEvent) {
    const fs::path unpacked = root / "unzipped";
    fs::create_directories(unpacked);
    const std::string command =
        "unzip -q -o '" + sampleDir +
        "OTRF-Security-Datasets/datasets/atomic/windows/credential_access/host/"
        "psh_lsass_memory_dump_comsvcs.zip' -d '" +
        unpacked.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string line;
    for (const auto& entry : fs::directory_iterator(unpacked)) {
        std::ifstream in(entry.path());
        while (std::getline(in, line))
            if (line.find("\"EventID\":4689") != std::string::npos) break;
    }
    const std::string message = jsonField(line, "Message");
    ASSERT_NE(message.find("A process has exited.\r\n"), std::string::npos);

    EventXml e;
    e.channel = "Security";
    e.eventId = 4689;
    e.keywords = "0x8020000000000000";
    e.level = 0;
    e.hasMessage = true;
    e.message = message;
    // As a file written on Windows: CR LF line ends in the message text.
    writeFile(host("h1") / "Security.xml", "<Events>" + eventXml(e) + "</Events>");
    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(text(objects[0], "Message"), message);
}

}  // namespace
