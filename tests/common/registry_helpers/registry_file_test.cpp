// The registry helpers over the POSIX registry file: a malformed file is
// named, with its line, in their messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/registry_helpers.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_registry.h"

using platform::RegistryRoot;

namespace {

constexpr const char* kServerKey = "Software\\Vardo Corp\\Orbisk\\ServerInfo";

TEST(RegistryHelpersFile, MalformedRegistryFileIsNamedInTheLog) {
    TestRegistry registry;
    std::ofstream(registry.file()) << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\n";
    LogCapture log(4);
    std::optional<std::string> text;
    EXPECT_EQ(ReadRegSZEx(RegistryRoot::LocalMachine, kServerKey, "ServerName", &text), 1009);
    EXPECT_TRUE(log.has(registry.file() + ": line 3:")) << log.text();
    EXPECT_EQ(writeValue(RegistryRoot::LocalMachine, kServerKey, "ServerName", "x", platform::kRegSz), 1009);
    EXPECT_TRUE(log.has("\n writeValue:  WriteValue failure during key creation! 1009"));
}

}  // namespace
