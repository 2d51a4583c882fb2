// A temporary registry file and install directory for Confora's tests.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "agent/settings/settings.h"
#include "platform/registry.h"

class WizardFixture : public ::testing::Test {
protected:
    void SetUp() override {
        root = std::filesystem::temp_directory_path() /
               ("confora-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root / "install" / "logs");
        registryFile = (root / "registry.reg").string();
        installDir = (root / "install").string() + "/";
        ::setenv("ORBISK_REGISTRY", registryFile.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("ORBISK_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    static int& counter() {
        static int n = 0;
        return n;
    }
    static void setValue(const char* key, const char* name, const std::string& text) {
        platform::RegistryKey handle(nullptr, nullptr);
        bool created = false;
        ASSERT_EQ(platform::regCreateKey(platform::RegistryRoot::LocalMachine, key, &handle, &created), 0);
        ASSERT_EQ(platform::regSetValue(handle, name, platform::kRegSz, text), 0);
    }
    // A REG_SZ value; none when the key or value is absent.
    static std::optional<std::string> value(const char* key, const char* name) {
        platform::RegistryKey handle(nullptr, nullptr);
        if (platform::regOpenKey(platform::RegistryRoot::LocalMachine, key, platform::RegistryAccess::Read,
                                 &handle) != 0)
            return std::nullopt;
        platform::RegistryValue v;
        if (platform::regQueryValue(handle, name, &v) != 0) return std::nullopt;
        return v.data;
    }
    static std::optional<std::string> server(const char* name) { return value(kServerKeyPath, name); }
    static std::string readFile(const std::filesystem::path& path) {
        std::string text;
        if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
            std::fclose(f);
        }
        return text;
    }
    std::string logText() const { return readFile(root / "install" / "logs" / "Confora.log"); }
    std::string installFail() const { return readFile(root / "install" / "Installfail.txt"); }

    // The six values as they are in the registry, in write order ("-" when absent).
    std::string written() const {
        std::string out;
        for (const char* name : {"ServerIPAddress", "ServerName", "ServerDBType", "ServerProtocol", "ServerPort"})
            out += server(name).value_or("-") + "|";
        return out + value(kAgentKeyPath, "AWS Instance").value_or("-");
    }

    std::filesystem::path root;
    std::string registryFile;
    std::string installDir;
};

inline constexpr const char* kInstallFailText =
    "****************\nInstallation Failure!!!\nInvalid Server Name/IP \n****************\n";
