// The registry file backend: format, escapes, encodings, locking between
// processes and malformed files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/registry.h"
#include "tests/platform/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

class RegistryFile : public ::testing::Test {
protected:
    TempDir temp;
    const fs::path dir = temp.path();
    const fs::path file = dir / "etc" / "registry.reg";

    void SetUp() override { setenv("ORBISK_REGISTRY", file.c_str(), 1); }
    void TearDown() override { unsetenv("ORBISK_REGISTRY"); }
    void writeRaw(const std::string& bytes) {
        fs::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary);
        out << bytes;
    }
    std::string readRaw() { return slurp(file); }
    RegistryKey create(const std::string& path) {
        RegistryKey key(nullptr, nullptr);
        bool created = false;
        EXPECT_EQ(regCreateKey(RegistryRoot::LocalMachine, path, &key, &created), kErrorSuccess);
        return key;
    }
    std::string readText(const std::string& path, const std::string& name, long* rc = nullptr) {
        RegistryKey key(nullptr, nullptr);
        long r = regOpenKey(RegistryRoot::LocalMachine, path, RegistryAccess::QueryValue, &key);
        RegistryValue value;
        if (r == kErrorSuccess) r = regQueryValue(key, name, &value);
        if (rc) *rc = r;
        return value.data;
    }
};

const char* kServerKey = "Software\\Vardo Corp\\Orbisk\\ServerInfo";

TEST_F(RegistryFile, MissingFileMeansNoKeysAndCreateMakesFileAndFolder) {
    RegistryKey key(nullptr, nullptr);
    EXPECT_EQ(regOpenKey(RegistryRoot::LocalMachine, kServerKey, RegistryAccess::Read, &key),
              kErrorFileNotFound);
    EXPECT_FALSE(fs::exists(file));

    bool created = false;
    ASSERT_EQ(regCreateKey(RegistryRoot::LocalMachine, kServerKey, &key, &created), kErrorSuccess);
    EXPECT_TRUE(created);
    EXPECT_TRUE(fs::exists(file));
    ASSERT_EQ(regCreateKey(RegistryRoot::LocalMachine, kServerKey, &key, &created), kErrorSuccess);
    EXPECT_FALSE(created) << "second create opens the existing key";
    // Parents exist through their child.
    EXPECT_EQ(regOpenKey(RegistryRoot::LocalMachine, "Software\\Vardo Corp", RegistryAccess::Read, &key),
              kErrorSuccess);
}

TEST_F(RegistryFile, RoundTripWritesReadableRegText) {
    RegistryKey key = create(kServerKey);
    ASSERT_EQ(regSetValue(key, "ServerIPAddress", kRegSz, "10.0.0.5"), kErrorSuccess);
    ASSERT_EQ(regSetValue(key, "AgentLogLevel", kRegDword, dwordData(3)), kErrorSuccess);
    ASSERT_EQ(regSetValue(key, "", kRegSz, "default text"), kErrorSuccess);
    ASSERT_EQ(regSetValue(key, "ServerIPAddress", kRegSz, "10.0.0.6"), kErrorSuccess);

    EXPECT_EQ(readRaw(),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Vardo Corp\\Orbisk\\ServerInfo]\n"
              "\"ServerIPAddress\"=\"10.0.0.6\"\n"
              "\"AgentLogLevel\"=dword:00000003\n"
              "@=\"default text\"\n\n");

    RegistryKey again(nullptr, nullptr);
    ASSERT_EQ(regOpenKey(RegistryRoot::LocalMachine, kServerKey, RegistryAccess::Read, &again), kErrorSuccess);
    std::uint32_t count = 0;
    ASSERT_EQ(regQueryValueCount(again, &count), kErrorSuccess);
    EXPECT_EQ(count, 3u);
    RegistryValue v;
    ASSERT_EQ(regEnumValue(again, 1, &v), kErrorSuccess);
    EXPECT_EQ(v.name, "AgentLogLevel");
    EXPECT_EQ(v.type, kRegDword);
    EXPECT_EQ(dwordValue(v.data), 3u);
    EXPECT_EQ(regEnumValue(again, 3, &v), kErrorNoMoreItems);
    ASSERT_EQ(regQueryValue(again, "", &v), kErrorSuccess);
    EXPECT_EQ(v.data, "default text");
    EXPECT_EQ(regQueryValue(again, "Missing", &v), kErrorFileNotFound);
}

TEST_F(RegistryFile, EscapesInNamesAndDataSurviveAndUnsafeTextIsHexEncoded) {
    RegistryKey key = create("Software\\Test");
    const std::string name = "Path \"quoted\" C:\\dir\\";
    const std::string data = "C:\\Program Files\\\"x\"\\";
    const std::string multiLine = "first line\nsecond \"line\"\r\n";
    ASSERT_EQ(regSetValue(key, name, kRegSz, data), kErrorSuccess);
    ASSERT_EQ(regSetValue(key, "Lines", kRegSz, multiLine), kErrorSuccess);
    EXPECT_NE(readRaw().find("\"Path \\\"quoted\\\" C:\\\\dir\\\\\"=\"C:\\\\Program Files\\\\\\\"x\\\"\\\\\""),
              std::string::npos)
        << readRaw();
    EXPECT_NE(readRaw().find("\"Lines\"=hex(1):"), std::string::npos) << readRaw();
    EXPECT_EQ(readText("Software\\Test", name), data);
    EXPECT_EQ(readText("Software\\Test", "Lines"), multiLine);
    EXPECT_EQ(regSetValue(key, "bad\nname", kRegSz, "x"), kErrorInvalidParameter);
}

TEST_F(RegistryFile, PathsAndNamesCompareWithoutCaseAndAcceptTrailingBackslash) {
    RegistryKey key = create(kServerKey);
    ASSERT_EQ(regSetValue(key, "ServerPort", kRegSz, "8080"), kErrorSuccess);
    EXPECT_EQ(readText("SOFTWARE\\vardo corp\\ORBISK\\serverinfo\\", "serverport"), "8080");
    // Setting through another spelling replaces, it does not add a second value.
    RegistryKey other = create("software\\VARDO CORP\\orbisk\\ServerInfo\\");
    ASSERT_EQ(regSetValue(other, "SERVERPORT", kRegSz, "9090"), kErrorSuccess);
    RegistryKey k(nullptr, nullptr);
    ASSERT_EQ(regOpenKey(RegistryRoot::LocalMachine, kServerKey, RegistryAccess::Read, &k), kErrorSuccess);
    std::uint32_t count = 0;
    regQueryValueCount(k, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(readText(kServerKey, "ServerPort"), "9090");
    EXPECT_EQ(regSetValue(k, "x", kRegSz, "y"), kErrorAccessDenied) << "read-only handle";
}

TEST_F(RegistryFile, ReadsWindowsUtf16ExportWithContinuedHexLines) {
    std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "; exported\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vardo Corp\\Orbisk\\Ambrik]\r\n"
        "\"AgentInstallDir\"=\"C:\\\\Program Files\\\\Orbisk_Agent\\\\\"\r\n"
        "\"Name\"=\"Gr\xC3\xBC\xC3\x9F" "e\"\r\n"
        "\"Expand\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,\\\r\n"
        "  00,00\r\n"
        "\"AgentLogLevel\"=dword:00000004\r\n\r\n";
    std::u16string units;
    for (std::size_t i = 0; i < text.size();) {  // tiny UTF-8 decoder for the test text
        unsigned char c = text[i];
        if (c < 0x80) { units.push_back(c); i += 1; }
        else { units.push_back(static_cast<char16_t>(((c & 0x1F) << 6) | (text[i + 1] & 0x3F))); i += 2; }
    }
    std::string bytes = "\xFF\xFE";
    for (char16_t u : units) { bytes.push_back(static_cast<char>(u & 0xFF)); bytes.push_back(static_cast<char>(u >> 8)); }
    writeRaw(bytes);

    const char* agentKey = "Software\\Vardo Corp\\Orbisk\\Ambrik";
    EXPECT_EQ(readText(agentKey, "AgentInstallDir"), "C:\\Program Files\\Orbisk_Agent\\");
    EXPECT_EQ(readText(agentKey, "Name"), "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(readText(agentKey, "Expand"), "%TEMP%");
    EXPECT_EQ(dwordValue(readText(agentKey, "AgentLogLevel")), 4u);

    // A write keeps the file's encoding and its other values.
    RegistryKey key = create(agentKey);
    ASSERT_EQ(regSetValue(key, "AgentVersion", kRegSz, "8.1"), kErrorSuccess);
    std::string after = readRaw();
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(readText(agentKey, "Name"), "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(readText(agentKey, "Expand"), "%TEMP%");
    EXPECT_EQ(readText(agentKey, "AgentVersion"), "8.1");
}

TEST_F(RegistryFile, MalformedFilesNameFileAndLineAndAreNeverOverwritten) {
    struct Case {
        const char* text;
        int line;
    } cases[] = {
        {"not a registry file\n", 1},
        {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Test]\n\"A\"=\"unterminated\n", 4},
        {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Test\n", 3},
        {"Windows Registry Editor Version 5.00\n\"A\"=\"outside\"\n", 2},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\Test]\n\"A\"=dword:123456789\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\Test]\n\"A\"=hex:01,zz\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\Test]\n\"A\"=hex:01,\\\n", 3},
        {"Windows Registry Editor Version 5.00\n[NOWHERE\\Software\\Test]\n", 2},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\Test]\ngarbage\n", 3},
        {"W\0i\0n\0", 1},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        if (text[0] == 'W' && text[1] == '\0') text.assign("W\0i\0n\0", 6);
        writeRaw(text);
        RegistryKey key(nullptr, nullptr);
        EXPECT_EQ(regOpenKey(RegistryRoot::LocalMachine, "Software\\Test", RegistryAccess::Read, &key),
                  kErrorBadDatabase)
            << c.text;
        std::string error = lastRegistryError();
        EXPECT_NE(error.find(file.string()), std::string::npos) << error;
        EXPECT_NE(error.find("line " + std::to_string(c.line) + ":"), std::string::npos) << error;
        bool created = false;
        EXPECT_EQ(regCreateKey(RegistryRoot::LocalMachine, "Software\\Other", &key, &created), kErrorBadDatabase);
        EXPECT_EQ(readRaw(), text) << "a malformed file is left as the administrator wrote it";
    }
}

TEST_F(RegistryFile, WritesThroughAnAdministratorsSymbolicLink) {
    fs::create_directories(dir / "real");
    fs::create_directories(file.parent_path());
    std::ofstream(dir / "real" / "orbisk.reg") << "Windows Registry Editor Version 5.00\n";
    fs::create_symlink(dir / "real" / "orbisk.reg", file);
    RegistryKey key = create("Software\\Test");
    ASSERT_EQ(regSetValue(key, "A", kRegSz, "1"), kErrorSuccess);
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_NE(slurp(dir / "real" / "orbisk.reg").find("\"A\"=\"1\""), std::string::npos);
}

TEST_F(RegistryFile, EnumerationReportsTooSmallBuffers) {
    RegistryKey key = create("Software\\Test");
    ASSERT_EQ(regSetValue(key, "Name", kRegSz, "12345"), kErrorSuccess);
    RegistryValue v;
    EXPECT_EQ(regEnumValue(key, 0, &v, 4, 100), kErrorMoreData);  // "Name" + terminator needs 5
    EXPECT_EQ(regEnumValue(key, 0, &v, 5, 5), kErrorMoreData);    // data + terminator needs 6
    EXPECT_EQ(regEnumValue(key, 0, &v, 5, 6), kErrorSuccess);
}

TEST_F(RegistryFile, DeletionLinesAndCommentsAreHonoured) {
    writeRaw("Windows Registry Editor Version 5.00\n"
             "[HKEY_LOCAL_MACHINE\\Software\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"x\"=-\n"
             "[HKEY_LOCAL_MACHINE\\Software\\B\\C]\n\"z\"=\"3\"\n"
             "[-HKEY_LOCAL_MACHINE\\Software\\B]\n\"ignored\"=\"4\"\n");
    long rc = 0;
    readText("Software\\A", "x", &rc);
    EXPECT_EQ(rc, kErrorFileNotFound);
    EXPECT_EQ(readText("Software\\A", "y"), "2");
    readText("Software\\B\\C", "z", &rc);
    EXPECT_EQ(rc, kErrorFileNotFound);
}

TEST_F(RegistryFile, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kPerWriter = 200;
    create("Software\\Race");
    pid_t children[2];
    for (int w = 0; w < 2; ++w) {
        children[w] = fork();
        ASSERT_GE(children[w], 0);
        if (children[w] == 0) {
            RegistryKey key(nullptr, nullptr);
            bool created = false;
            if (regCreateKey(RegistryRoot::LocalMachine, "Software\\Race", &key, &created) != 0) _exit(2);
            for (int i = 0; i < kPerWriter; ++i) {
                std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
                if (regSetValue(key, name, kRegSz, name + "-data") != 0) _exit(3);
            }
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    RegistryKey key(nullptr, nullptr);
    ASSERT_EQ(regOpenKey(RegistryRoot::LocalMachine, "Software\\Race", RegistryAccess::Read, &key), kErrorSuccess);
    std::uint32_t count = 0;
    regQueryValueCount(key, &count);
    EXPECT_EQ(count, 2u * kPerWriter);
    for (int w = 0; w < 2; ++w) {
        for (int i = 0; i < kPerWriter; ++i) {
            std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
            RegistryValue v;
            ASSERT_EQ(regQueryValue(key, name, &v), kErrorSuccess) << name;
            EXPECT_EQ(v.data, name + "-data");
        }
    }
    // No temporary files are left beside the registry.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 2) << "the registry and its lock file";
}

}  // namespace
