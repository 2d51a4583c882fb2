// Shared set-up of the store tests: a fresh working directory with
// serverdata/, an open event store, and the agent log captured in memory.
#pragma once

#include <memory>

#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "agent/collection/event_record.h"
#include "agent/settings/settings.h"
#include "agent/store/event_store.h"
#include "common/log.h"
#include "platform/clock.h"

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousDir_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() /
               ("ambrik-store-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "serverdata");
        std::filesystem::current_path(dir_);

        log_ = std::make_unique<LogCapture>();
        platform::useManualClock(1'700'000'000'000);
        setDatabaseType("");
        ASSERT_EQ(openEventStore(), 1);
        ASSERT_TRUE(createEventTables());
    }

    void TearDown() override {
        closeEventStore();
        log_.reset();
        platform::useSystemClock();
        std::filesystem::current_path(previousDir_);
        std::filesystem::remove_all(dir_);
    }

    static void setDatabaseType(const std::string& type) {
        PutAgentSetting("ServerDBType", type);
        SetDatabaseFlag();
    }

    std::string logText() { return log_->text(); }

    static std::string readFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    static EventRecord event(std::int64_t host, int eventId, int severity,
                             const std::string& hourBucket = "2008-11-03 14:00:00", int hour = 14) {
        EventRecord r;
        r.hostId = host;
        r.eventTime = 1225720800;
        r.hour = hour;
        r.day = 3;
        r.hourBucket = hourBucket;
        r.eventId = eventId;
        r.severity = severity;
        r.logFile = "Security";
        r.source = "Security";
        r.user = "admin";
        r.domain = "CORP";
        r.accessOrLogonType = "2";
        r.message = "An account was successfully logged on.";
        return r;
    }

    std::filesystem::path dir_;
    std::filesystem::path previousDir_;
    std::unique_ptr<LogCapture> log_;
};
