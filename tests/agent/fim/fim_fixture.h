// Shared set-up of the file integrity tests: a fresh working directory with
// the data set folders, an open store, the agent log captured, a manual
// clock, and empty rules and lists.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "agent/fim/change_detect.h"
#include "agent/fim/change_store.h"
#include "agent/fim/monitor_config.h"
#include "agent/server/http_client.h"
#include "agent/settings/settings.h"
#include "agent/store/event_store.h"
#include "platform/clock.h"
#include "tests/agent/fim/fim_state.h"
#include "tests/support/log_capture.h"

class FimTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousDir_ = std::filesystem::current_path();
        // Lower case: locations are compared and looked up lower-cased.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        dir_ = std::filesystem::path("/tmp") /
               ("ambrik-fim-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(dir_);
        for (const char* sub : {"data/changedata", "data/basedata", "data/periodicdata",
                                "data/newdata", "watched"})
            std::filesystem::create_directories(dir_ / sub);
        std::filesystem::current_path(dir_);
        log_ = std::make_unique<LogCapture>();
        platform::useManualClock(1'700'000'000'000);
        startFimState();
        SetAgentId(42);
        SetAgentHost("agenthost", "127.0.0.1");
        SetServerStatus(kServerUp);
        HttpTransferLimits limits;
        limits.verbose = false;
        SetHttpTransferLimits(limits);
    }

    void TearDown() override {
        endFimState();
        log_.reset();
        platform::useSystemClock();
        std::filesystem::current_path(previousDir_);
        std::filesystem::remove_all(dir_);
    }

    // The Windows form of a path under the test's folder (drive C is "/").
    std::string windowsPath(const std::string& relative = "") const {
        std::string path = "c:" + (dir_ / relative).string();
        if (!relative.empty() && relative.back() == '/') path.pop_back();
        for (char& c : path)
            if (c == '/') c = '\\';
        while (path.size() > 3 && path.back() == '\\') path.pop_back();
        std::string lower;
        for (char c : path) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return lower;
    }

    void pointAgentAt(int port) {
        PutAgentSetting("ServerProtocol", "http");
        PutAgentSetting("ServerIPAddress", "127.0.0.1");
        PutAgentSetting("ServerPort", std::to_string(port));
    }

    static std::string readFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    std::string logText() { return log_->text(); }

    std::filesystem::path dir_;
    std::filesystem::path previousDir_;
    std::unique_ptr<LogCapture> log_;
};
