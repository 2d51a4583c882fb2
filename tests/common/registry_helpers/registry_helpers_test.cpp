// ReadRegSZEx, ReadDwordRegistryData, writeValue and addRegistryKey over a
// registry of the test's own, with their messages; the same on every system.
#include <gtest/gtest.h>

#include <string>

#include "common/registry_helpers.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_registry.h"

using platform::RegistryRoot;

namespace {

class RegistryHelpers : public ::testing::Test {
protected:
    TestRegistry registry;
    const std::string serverKey = registry.root() + "\\Orbisk\\ServerInfo";
    const char* kServerKey = serverKey.c_str();
};

TEST_F(RegistryHelpers, WriteCreatesTheKeyOnceAndReadsBack) {
    LogCapture log(4);
    ASSERT_EQ(writeValue(RegistryRoot::LocalMachine, kServerKey, "ServerIPAddress", "10.1.2.3", platform::kRegSz), 0);
    std::string first = log.text();
    EXPECT_NE(first.find("\n @@@@@@@@ Inside writeValue Method @@@@@@@@"
                         "\n writeValue: Subkey : " + serverKey +
                         "\n writeValue: Value Name: ServerIPAddress"
                         "\n writeValue: Value Data: 10.1.2.3"),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("\n writeValue:  Data type is REG_SZ or REG_EXPAND_SZ or REG_BINARY: 18"), std::string::npos);
    EXPECT_NE(first.find("\n addRegistryKey:  Create registry key function successfull: 1 "), std::string::npos);
    EXPECT_NE(first.find("\n writeValue:  Key found ...!: 0"), std::string::npos);
    EXPECT_NE(first.find("\n Message : Unknown Error. Code : 0"), std::string::npos);
    EXPECT_NE(first.find("\n @@@@@@@@ End Of writeValue Method @@@@@@@@ "), std::string::npos);

    ASSERT_EQ(writeValue(RegistryRoot::LocalMachine, kServerKey, "ServerPort", "8443", platform::kRegSz), 0);
    EXPECT_NE(log.text().find("\n addRegistryKey:  Opened already existing key! "), std::string::npos);

    std::optional<std::string> text;
    ASSERT_EQ(ReadRegSZEx(RegistryRoot::LocalMachine, kServerKey, "ServerIPAddress", &text), 0);
    EXPECT_EQ(text, "10.1.2.3");
}

TEST_F(RegistryHelpers, DoubleDashMeansDefaultValueOrEmptyData) {
    LogCapture log(4);
    ASSERT_EQ(writeValue(RegistryRoot::LocalMachine, kServerKey, "--", "default data", platform::kRegSz), 0);
    EXPECT_TRUE(log.has("\n writeValue : going to add the (default) value ."));
    ASSERT_EQ(writeValue(RegistryRoot::LocalMachine, kServerKey, "Empty", "--", platform::kRegSz), 0);
    EXPECT_TRUE(log.has("\n writeValue : going to add the value data as 0 value ."));

    std::optional<std::string> text;
    ASSERT_EQ(ReadRegSZEx(RegistryRoot::LocalMachine, kServerKey, "", &text), 0);
    EXPECT_EQ(text, "default data");
    ASSERT_EQ(ReadRegSZEx(RegistryRoot::LocalMachine, kServerKey, "Empty", &text), 0);
    EXPECT_EQ(text, "");
    // A value literally named "--" was not created.
    EXPECT_EQ(ReadRegSZEx(RegistryRoot::LocalMachine, kServerKey, "--", &text), 2);
    EXPECT_FALSE(text.has_value());
}

TEST_F(RegistryHelpers, DwordTextsAreTheirLeadingNumber) {
    struct Case {
        const char* text;
        std::uint32_t value;
    } cases[] = {{"4", 4}, {"  42abc", 42}, {"abc", 0}, {"", 0}, {"-1", 0xFFFFFFFFu}, {"4294967295", 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        ASSERT_EQ(writeValue(RegistryRoot::LocalMachine, kServerKey, "Level", c.text, platform::kRegDword), 0) << c.text;
        std::uint32_t value = 12345;
        ASSERT_EQ(ReadDwordRegistryData(RegistryRoot::LocalMachine, kServerKey, "Level", &value), 0);
        EXPECT_EQ(value, c.value) << c.text;
    }
    LogCapture log(4);
    EXPECT_EQ(writeValue(RegistryRoot::LocalMachine, kServerKey, "Level", "99999999999", platform::kRegDword), 87)
        << "a number that does not fit is refused, not truncated";
    EXPECT_TRUE(log.has("\n writeValue:  Function WriteValue failure!:87"));
    EXPECT_EQ(writeValue(RegistryRoot::LocalMachine, kServerKey, "Odd", "x", 11), 87);
}

TEST_F(RegistryHelpers, ReadFailuresKeepOutputsAndSayWhy) {
    LogCapture log(4);
    std::optional<std::string> text = "stale";
    EXPECT_EQ(ReadRegSZEx(RegistryRoot::LocalMachine, kServerKey, "ServerName", &text), 2);
    EXPECT_FALSE(text.has_value());
    EXPECT_TRUE(log.has("\n ReadRegSZEx: Error while opening registry key : ServerName"));
    std::uint32_t value = 77;
    EXPECT_EQ(ReadDwordRegistryData(RegistryRoot::LocalMachine, kServerKey, "AgentLogLevel", &value), 2);
    EXPECT_EQ(value, 77u);
    EXPECT_TRUE(log.has("\n ReadDwordRegistryData: Error while opening registry key " + serverKey + ",and the errorcode is : 2"));

    ASSERT_EQ(addRegistryKey(RegistryRoot::LocalMachine, kServerKey), 0);
    EXPECT_EQ(ReadRegSZEx(RegistryRoot::LocalMachine, kServerKey, "ServerName", &text), 2);
    EXPECT_TRUE(log.has("\n ReadRegSZEx: Error while retrieving value! 2 \n"));

    // A number read as text, and text read as a number, are refused.
    ASSERT_EQ(writeValue(RegistryRoot::LocalMachine, kServerKey, "AgentLogLevel", "4", platform::kRegDword), 0);
    ASSERT_EQ(writeValue(RegistryRoot::LocalMachine, kServerKey, "ServerName", "orbisk", platform::kRegSz), 0);
    EXPECT_EQ(ReadRegSZEx(RegistryRoot::LocalMachine, kServerKey, "AgentLogLevel", &text), 13);
    EXPECT_EQ(ReadDwordRegistryData(RegistryRoot::LocalMachine, kServerKey, "ServerName", &value), 13);
    EXPECT_EQ(value, 77u);
    EXPECT_TRUE(log.has("\n ReadDwordRegistryData: Error while reading DWORD value of ServerName : 13"));
}

TEST(WideText, ConversionsRefuseMissingAndMalformedText) {
    LogCapture log(4);
    std::u16string wide;
    ASSERT_TRUE(ChangeUtf8ToWideStr("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80", &wide));
    EXPECT_EQ(wide, u"Grüße 😀");
    EXPECT_FALSE(ChangeUtf8ToWideStr(nullptr, &wide));
    EXPECT_TRUE(log.has("\n ChangeUtf8ToWideStr: utf8 is empty! "));
    EXPECT_FALSE(ChangeToWideStr(nullptr, &wide));
    EXPECT_TRUE(log.has("\n ChangeToWideStr: AnsiString is empty! "));
    EXPECT_FALSE(ChangeUtf8ToWideStr("bad \xC3(", &wide));
    EXPECT_FALSE(ChangeUtf8ToWideStr("\xED\xA0\x80", &wide)) << "an encoded surrogate";
    EXPECT_FALSE(ChangeUtf8ToWideStr("\xC0\xAF", &wide)) << "an overlong form";
    EXPECT_TRUE(log.has("\n Error Message: "));
}

}  // namespace
