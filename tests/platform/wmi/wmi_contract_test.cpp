// What both WMI backends answer alike for the hosts of fixture-hosts/: on
// POSIX the simulated hosts read from that folder; on Windows (under wine)
// the real COM calls, reaching the test WMI provider (testserver/wmi) that
// serves the same hosts as wmi-fixture-dump wrote them (AMBRIK_WMI_FIXTURE).
// Values, their types, the time condition, the semi-synchronous Next and the
// result codes of a bad host, account, namespace or query are the contract.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/wmi.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

using namespace platform::wmi;

constexpr const char* kHost10 = "//host10.corp.example/root/cimv2";
constexpr const char* kHost61 = "\\\\HOST61.corp.example\\root\\cimv2";
constexpr std::int32_t kQueryFlags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;

class WmiContract : public ::testing::Test {
protected:
    void SetUp() override {
#if !defined(_WIN32)
        setHostsRoot(AMBRIK_SOURCE_DIR "/tests/platform/wmi/fixture-hosts");
        setLocalHostName("agentbox");
        setDiagnosticSink(nullptr);
#endif
        ASSERT_TRUE(succeeded(initializeCom()));
        ASSERT_EQ(createLocator(locator), S_OK_);
    }
    void TearDown() override {
        locator.reset();
        uninitializeCom();
    }

    HResult connect(const std::string& ns, ServicesPtr& out, const std::string& user = "CORP\\admin",
                    const std::string& password = "secret") {
        return locator->connectServer(ns, user, password, "", WBEM_FLAG_CONNECT_USE_MAX_WAIT, out);
    }

    // Every object of a query, read with Next(WBEM_INFINITE); the end must be WBEM_S_FALSE.
    std::vector<ObjectPtr> all(const std::string& ns, const std::string& wql) {
        std::vector<ObjectPtr> objects;
        ServicesPtr services;
        EXPECT_EQ(connect(ns, services), WBEM_S_NO_ERROR) << ns;
        if (!services) return objects;
        EnumeratorPtr e;
        EXPECT_EQ(services->execQuery("WQL", wql, kQueryFlags, e), WBEM_S_NO_ERROR) << wql;
        if (!e) return objects;
        ObjectPtr o;
        HResult hr;
        while ((hr = e->next(WBEM_INFINITE, o)) == WBEM_S_NO_ERROR) objects.push_back(std::move(o));
        EXPECT_EQ(hr, WBEM_S_FALSE);
        return objects;
    }

    LocatorPtr locator;
};

Variant get(const ObjectPtr& o, const char* name) {
    Variant v;
    EXPECT_EQ(o->get(name, v), WBEM_S_NO_ERROR) << name;
    return v;
}
std::int64_t integer(const ObjectPtr& o, const char* name) {
    const Variant v = get(o, name);
    EXPECT_EQ(v.type, Variant::Type::Integer) << name;
    return v.integer;
}
std::string text(const ObjectPtr& o, const char* name) {
    const Variant v = get(o, name);
    EXPECT_EQ(v.type, Variant::Type::Text) << name;
    return v.text;
}

TEST_F(WmiContract, OperatingSystemOfEachHost) {
    auto os = all(kHost10, "Select CurrentTimeZone, Version from Win32_OperatingSystem");
    ASSERT_EQ(os.size(), 1u);
    EXPECT_EQ(integer(os[0], "CurrentTimeZone"), 60);
    EXPECT_EQ(text(os[0], "Version"), "10.0.17763");
    os = all(kHost61, "Select CurrentTimeZone, Version from Win32_OperatingSystem");
    ASSERT_EQ(os.size(), 1u);
    EXPECT_EQ(integer(os[0], "currenttimezone"), -300);  // names without regard to case
    EXPECT_EQ(text(os[0], "Version"), "6.1.7601");
}

// Every property of an event in the type the agent reads it in: unsigned
// 32-bit values above 2^31 stay positive, texts keep markup and characters
// beyond ASCII, absent values are null.
TEST_F(WmiContract, EventPropertiesAndTheirTypes) {
    const auto events = all(kHost10, "Select * from Win32_NTLogEvent");
    ASSERT_EQ(events.size(), 2u);
    const ObjectPtr& e = events[0];
    EXPECT_EQ(integer(e, "Category"), 3);
    EXPECT_EQ(text(e, "CategoryString"), "Disk");
    EXPECT_EQ(text(e, "ComputerName"), "host10.corp.example");
    Variant data = get(e, "Data");
    ASSERT_EQ(data.type, Variant::Type::Bytes);
    EXPECT_EQ(data.bytes, (std::vector<std::uint8_t>{0x00, 0xFF, 0x10}));
    EXPECT_EQ(integer(e, "EventCode"), 1001);
    EXPECT_EQ(integer(e, "EventIdentifier"), 3221226473);
    EXPECT_EQ(integer(e, "EventType"), 1);
    const Variant strings = get(e, "InsertionStrings");
    ASSERT_EQ(strings.type, Variant::Type::TextArray);
    EXPECT_EQ(strings.texts, (std::vector<std::string>{"<b>bold</b> &amp; 'quoted'",
                                                       "Журнал 事件 ログ", ""}));
    EXPECT_EQ(text(e, "Logfile"), "Application");
    EXPECT_EQ(text(e, "Message"), "First line\r\nsecond line");
    EXPECT_EQ(integer(e, "RecordNumber"), 4294967290);
    EXPECT_EQ(text(e, "SourceName"), "AmbrikTest");
    EXPECT_EQ(text(e, "TimeGenerated"), "20240310130005.000000+060");
    EXPECT_EQ(text(e, "TimeWritten"), "20240310130005.000000+060");
    EXPECT_EQ(text(e, "Type"), "Error");
    EXPECT_EQ(text(e, "User"), "S-1-5-18");

    const ObjectPtr& audit = events[1];
    EXPECT_EQ(integer(audit, "EventType"), 4);
    EXPECT_EQ(text(audit, "Type"), "Audit Success");
    for (const char* absent : {"CategoryString", "Data", "InsertionStrings", "Message", "User"})
        EXPECT_TRUE(get(audit, absent).isNull()) << absent;
    Variant unknown;
    EXPECT_EQ(audit->get("NoSuchProperty", unknown), WBEM_E_NOT_FOUND);
    EXPECT_TRUE(unknown.isNull());
}

TEST_F(WmiContract, TimeConditionKeepsOnlyLaterEvents) {
    auto later = all(kHost61, "Select * from Win32_NTLogEvent where TimeGenerated > '20240310070000.000000-300'");
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(integer(later[0], "RecordNumber"), 13);
    EXPECT_EQ(integer(later[0], "EventIdentifier"), 2147489656);
    // The same instant in another offset.
    later = all(kHost10, "Select * from Win32_NTLogEvent where TimeGenerated > '20240310120005.000000+000'");
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(integer(later[0], "RecordNumber"), 7);
}

// host61 takes 300 ms for each object: a Next that waits less times out and
// a later one brings the object.
TEST_F(WmiContract, NextTimesOutOnASlowHost) {
    ServicesPtr services;
    ASSERT_EQ(connect(kHost61, services, "", ""), WBEM_S_NO_ERROR);  // any account
    EnumeratorPtr e;
    ASSERT_EQ(services->execQuery("WQL", "Select * from Win32_NTLogEvent", kQueryFlags, e), WBEM_S_NO_ERROR);
    ObjectPtr o;
    EXPECT_EQ(e->next(0, o), WBEM_S_TIMEDOUT);
    EXPECT_EQ(o, nullptr);
    EXPECT_EQ(e->next(5000, o), WBEM_S_NO_ERROR);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(integer(o, "RecordNumber"), 12);
    EXPECT_EQ(e->next(WBEM_INFINITE, o), WBEM_S_NO_ERROR);
    EXPECT_EQ(e->next(WBEM_INFINITE, o), WBEM_S_FALSE);
    EXPECT_EQ(o, nullptr);
}

TEST_F(WmiContract, ResultCodesOfBadHostsAccountsAndQueries) {
    ServicesPtr services;
    EXPECT_EQ(connect("//nosuchhost.corp.example/root/cimv2", services), RPC_S_SERVER_UNAVAILABLE_HR);
    EXPECT_EQ(services, nullptr);
    EXPECT_EQ(connect(kHost10, services, "CORP\\admin", "wrong"), E_ACCESSDENIED_);
    EXPECT_EQ(connect(kHost10, services, "CORP\\other", "secret"), E_ACCESSDENIED_);
    EXPECT_EQ(connect("//host10.corp.example/root/default", services), WBEM_E_INVALID_NAMESPACE);
    EXPECT_EQ(services, nullptr);

    ASSERT_EQ(connect(kHost10, services, "corp\\ADMIN", "secret"), WBEM_S_NO_ERROR);  // user without regard to case
    const AuthIdentity identity{"admin", "CORP", "secret"};
    ProxyBlanket blanket;
    blanket.identity = &identity;
    EXPECT_EQ(services->setProxyBlanket(blanket), S_OK_);
    EnumeratorPtr e;
    EXPECT_EQ(services->execQuery("WQL", "Select * from Win32_NoSuchClass", kQueryFlags, e), WBEM_E_INVALID_QUERY);
    EXPECT_EQ(services->execQuery("WQL", "Select * from", kQueryFlags, e), WBEM_E_INVALID_QUERY);
    EXPECT_EQ(services->execQuery("WQL", "Select * from Win32_NTLogEvent where TimeGenerated > 'yesterday'",
                                  kQueryFlags, e),
              WBEM_E_INVALID_QUERY);
    EXPECT_EQ(services->execQuery("SQL", "Select * from Win32_NTLogEvent", kQueryFlags, e),
              WBEM_E_INVALID_QUERY_TYPE);
    EXPECT_EQ(e, nullptr);
    ASSERT_EQ(services->execQuery("WQL", "Select * from Win32_NTLogEvent", kQueryFlags, e), WBEM_S_NO_ERROR);
    EXPECT_EQ(e->setProxyBlanket(blanket), S_OK_);
    ObjectPtr o;
    EXPECT_EQ(e->next(WBEM_INFINITE, o), WBEM_S_NO_ERROR);
}

// The agent's own machine: on Windows the system's WMI (wine's own under
// wine), not the simulated hosts.
TEST_F(WmiContract, LocalNamespaceAnswers) {
    ServicesPtr services;
    ASSERT_EQ(connect("//./root/cimv2", services, "", ""), WBEM_S_NO_ERROR);
    EnumeratorPtr e;
    ASSERT_EQ(services->execQuery("WQL", "Select CurrentTimeZone, Version from Win32_OperatingSystem", kQueryFlags, e),
              WBEM_S_NO_ERROR);
    ObjectPtr os;
    ASSERT_EQ(e->next(WBEM_INFINITE, os), WBEM_S_NO_ERROR);
    EXPECT_FALSE(text(os, "Version").empty());
    EXPECT_EQ(get(os, "CurrentTimeZone").type, Variant::Type::Integer);
}

#if defined(_WIN32)
// Every object the provider handed out has been released.
TEST_F(WmiContract, ProviderObjectsAreAllReleased) {
    { auto events = all(kHost10, "Select * from Win32_NTLogEvent"); }
    locator.reset();
    HMODULE provider = GetModuleHandleW(L"ambrik_wmi_provider.dll");
    ASSERT_NE(provider, nullptr) << "the WMI locator is not the test provider";
    using LiveObjects = long(WINAPI*)();
    const auto live = reinterpret_cast<LiveObjects>(
        reinterpret_cast<void*>(GetProcAddress(provider, "AmbrikWmiProviderLiveObjects")));
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(live(), 0);
}
#endif

}  // namespace
