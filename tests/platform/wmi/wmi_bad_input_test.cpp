// Damaged and oversized logs: each gives a clear diagnostic and the events
// that can be read, never a crash or a hang; memory stays bounded.
#include <sys/resource.h>

#include "tests/platform/wmi/wmi_test_util.h"
#include "tests/support/sample_logs.h"

using namespace wmitest;

namespace {

class BadInput : public WmiTest {
protected:
    void SetUp() override {
        WmiTest::SetUp();
        writeHostXml("h1", "<host/>");
    }
    std::vector<std::int64_t> records(HResult* end = nullptr) {
        std::vector<std::int64_t> numbers;
        for (const auto& o : query("h1", kAllEvents, end)) numbers.push_back(integer(o, "RecordNumber"));
        return numbers;
    }
};

EventXml numbered(long long record) {
    EventXml e;
    e.recordId = record;
    return e;
}

TEST_F(BadInput, BrokenXmlKeepsTheEventsBeforeTheDamage) {
    const std::string good = eventXml(numbered(1)) + eventXml(numbered(2));
    const std::string third = eventXml(numbered(3));
    writeFile(host("h1") / "a.xml", good + third.substr(0, third.size() / 2));  // truncated
    writeFile(host("h1") / "b.xml", "this is not XML <<<");
    writeFile(host("h1") / "c.xml", "");
    writeFile(host("h1") / "d.xml", "<Events>" + eventXml(numbered(4)) + "<Event><System></Events>");
    writeFile(host("h1") / "e.xml", std::string("\0\1\2\3garbage", 11));
    // A damaged event between good ones costs only itself.
    writeFile(host("h1") / "f.xml", "<Events>" + eventXml(numbered(5)) +
                                        "<Event><System><EventID>9</EventID></Event>" +
                                        eventXml(numbered(6)) + "</Events>");
    HResult end = 0;
    EXPECT_EQ(records(&end), (std::vector<std::int64_t>{1, 2, 4, 5, 6}));
    EXPECT_EQ(end, WBEM_S_FALSE);
    EXPECT_TRUE(diagnosed("a.xml ends inside event 3"));
    EXPECT_TRUE(diagnosed("b.xml holds no <Event> elements"));
    EXPECT_FALSE(diagnosed("c.xml"));  // an empty log is no fault
    EXPECT_TRUE(diagnosed("d.xml ends inside event 2"));
    EXPECT_TRUE(diagnosed("e.xml holds no <Event> elements"));
    EXPECT_TRUE(diagnosed("f.xml: event 2 skipped, it is not well-formed"));
}

TEST_F(BadInput, EntitiesAreNotExpanded) {
    // A nested entity bomb and an external entity: neither is expanded.
    writeFile(host("h1") / "a.xml",
              "<?xml version='1.0'?>\n"
              "<!DOCTYPE Events [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;'>"
              "<!ENTITY c '&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;'><!ENTITY x SYSTEM 'file:///etc/passwd'>]>\n"
              "<Events>" + eventXml(numbered(1)) + "</Events>");
    records();  // the file may be refused; it must not hang or crash
    EventXml e = numbered(2);
    e.data = {"&c;"};  // written escaped: a literal text, not a reference
    writeFile(host("h1") / "a.xml", eventXml(e));
    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(prop(objects[0], "InsertionStrings").texts, (std::vector<std::string>{"&c;"}));
}

TEST_F(BadInput, ManyStringsAndAHugeMessage) {
    EventXml e = numbered(7);
    for (int i = 0; i < 10000; ++i) e.data.push_back("value" + std::to_string(i));
    e.hasMessage = true;
    e.message.assign(1024 * 1024, 'm');
    e.message += "<end>";
    writeFile(host("h1") / "a.xml", eventXml(e));
    auto objects = query("h1", kAllEvents);
    ASSERT_EQ(objects.size(), 1u);
    Variant strings = prop(objects[0], "InsertionStrings");
    ASSERT_EQ(strings.texts.size(), 10000u);
    EXPECT_EQ(strings.texts[9999], "value9999");
    EXPECT_EQ(text(objects[0], "Message"), e.message);
}

TEST_F(BadInput, DamagedEvtxFiles) {
    SKIP_WITHOUT_SAMPLE_LOGS();
    const std::string sample = sampleLogsDir() + "omerbenamram-evtx/samples/security.evtx";
    std::ifstream in(sample, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 200000u);
    // The file header and the first chunk, then the second chunk cut short.
    writeFile(host("h1") / "a-truncated.evtx", bytes.substr(0, 4096 + 65536 + 20000));
    // The second chunk's records overwritten with noise.
    std::string noisy = bytes.substr(0, 4096 + 3 * 65536);
    for (std::size_t i = 4096 + 65536 + 512; i < 4096 + 2 * 65536; i += 7) noisy[i] = static_cast<char>(i * 31);
    writeFile(host("h1") / "b-noisy.evtx", noisy);
    writeFile(host("h1") / "c-empty.evtx", "");
    writeFile(host("h1") / "d-text.evtx", "ElfFile\0 but nothing else");
    writeFile(host("h1") / "e-good.xml", eventXml(numbered(99)));
    HResult end = 0;
    const auto numbers = records(&end);
    EXPECT_EQ(end, WBEM_S_FALSE);
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.front(), 1);  // the first chunk of the truncated file is read
    EXPECT_EQ(numbers.back(), 99);  // and the files after the damaged ones too
    EXPECT_TRUE(diagnosed("c-empty.evtx is not a readable EVTX file"));
    EXPECT_TRUE(diagnosed("d-text.evtx is not a readable EVTX file"));
}

// Logs and host files with bytes changed at random (a fixed seed): every
// query ends, and what is read is never more than what was written.
TEST_F(BadInput, RandomlyDamagedFiles) {
    EventXml e;
    e.data = {"a", "b&c", ""};
    e.hasMessage = true;
    e.message = "line one\nline two";
    e.eventData = true;
    EventXml u;
    u.eventData = false;
    u.userData = "<X><Y>1</Y><Z><W>2</W></Z></X>";
    const std::string log = "<?xml version='1.0' encoding='UTF-8'?><Events><!-- c -->" + eventXml(e) +
                            eventXml(u) + "<![CDATA[x]]>" + eventXml(e) + "</Events>";
    const std::string hostXml =
        "<host version='6.1' currentTimeZone='-60'><account user='A\\b' password='p'/>"
        "<fault step='next' hresult='0x40004' count='2'/><delay ms='0'/></host>";
    std::uint32_t seed = 12345;
    auto random = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const char interesting[] = "<>/&;'\"=!?[]-\0\xFF\xFE";
    for (int round = 0; round < 300; ++round) {
        std::string damagedLog = log, damagedHost = hostXml;
        for (int k = 0; k < 1 + round % 6; ++k) {
            damagedLog[random() % damagedLog.size()] = interesting[random() % (sizeof interesting - 1)];
            if (round % 3 == 0)
                damagedHost[random() % damagedHost.size()] = interesting[random() % (sizeof interesting - 1)];
        }
        if (round % 5 == 0) damagedLog.resize(random() % damagedLog.size());
        writeFile(host("h1") / "host.xml", damagedHost);
        writeFile(host("h1") / "a.xml", damagedLog);
        ServicesPtr s;
        LocatorPtr locator;
        ASSERT_EQ(createLocator(locator), S_OK_);
        if (failed(locator->connectServer("//h1/root/cimv2", "A\\b", "p", "", 0, s))) continue;
        EnumeratorPtr en;
        if (failed(s->execQuery("WQL", kAllEvents, 48, en))) continue;
        ObjectPtr o;
        int objects = 0, calls = 0;
        HResult hr;
        while ((hr = en->next(0, o)) != WBEM_S_FALSE && ++calls < 100)
            if (hr == WBEM_S_NO_ERROR) ++objects;
        EXPECT_LT(calls, 100) << round << " " << damagedHost;
        EXPECT_LE(objects, 3) << round;
    }
}

TEST_F(BadInput, HundredMegabyteLogIsReadAsAStream) {
    const fs::path path = host("h1") / "big.xml";
    {
        std::ofstream out(path, std::ios::binary);
        out << "<Events>";
        EventXml e;
        e.data = {std::string(400, 'x'), "S-1-5-18", "SYSTEM"};
        std::size_t written = 0;
        long long record = 0;
        while (written < 100u * 1024 * 1024) {
            e.recordId = ++record;
            const std::string x = eventXml(e);
            out << x;
            written += x.size();
        }
        out << "</Events>";
    }
    EnumeratorPtr e = openQuery("h1", kAllEvents);
    ASSERT_NE(e, nullptr);
    ObjectPtr o;
    std::int64_t count = 0, last = 0;
    while (e->next(WBEM_INFINITE, o) == WBEM_S_NO_ERROR) {
        ++count;
        last = integer(o, "RecordNumber");
    }
    EXPECT_GT(count, 100000);
    EXPECT_EQ(last, count);
#if !defined(__SANITIZE_ADDRESS__)
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 80 * 1024) << "peak resident set in kB";
#endif
}

}  // namespace
