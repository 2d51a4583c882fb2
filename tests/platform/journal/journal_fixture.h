// The journal calls as tests make them (JournalCalls, on every system), and
// a volume of the POSIX change journal for one test (JournalVolume): drive C
// mapped to a fresh folder and the journal folder beside it, through a
// registry file of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/journal.h"
#include "platform/text.h"
#if !defined(_WIN32)
#include "platform/registry.h"
#include "platform/volumes.h"
#include "tests/platform/support/temp_dir.h"
#endif

struct JournalCalls {
    static platform::VolumeHandle open() {
        platform::VolumeHandle handle;
        EXPECT_EQ(platform::openVolume("\\\\.\\C:", &handle), platform::kErrorSuccess);
        return handle;
    }

    static platform::UsnJournalData query(const platform::VolumeHandle& h) {
        platform::UsnJournalData data{};
        EXPECT_EQ(platform::queryUsnJournal(h, &data), platform::kErrorSuccess);
        return data;
    }
    static void createJournal(const platform::VolumeHandle& h, std::uint64_t maximumSize = 0x800000,
                              std::uint64_t delta = 0x100000) {
        ASSERT_EQ(platform::createUsnJournal(h, {maximumSize, delta}), platform::kErrorSuccess);
    }
    // Every record from `start` on, read in buffers of `bufferSize` bytes.
    static std::vector<platform::UsnRecord> readAll(const platform::VolumeHandle& h, std::int64_t start = 0,
                                                    std::uint32_t bufferSize = 10000) {
        const platform::UsnJournalData data = query(h);
        std::vector<platform::UsnRecord> records;
        std::vector<std::uint8_t> buffer(bufferSize);
        platform::ReadUsnJournalData in{start, 0xFFFFFFFF, 0, 0, 0, data.UsnJournalID};
        for (int guard = 0; guard < 1000000; ++guard) {
            std::uint32_t got = 0;
            const long rc = platform::readUsnJournal(h, in, buffer.data(), bufferSize, &got);
            EXPECT_EQ(rc, platform::kErrorSuccess);
            if (rc != platform::kErrorSuccess || got <= 8) break;
            std::span<const std::uint8_t> out(buffer.data(), got);
            for (auto& r : platform::decodeUsnOutput(out)) records.push_back(std::move(r));
            in.StartUsn = static_cast<std::int64_t>(platform::usnOutputHeader(out));
        }
        return records;
    }
    static std::string name(const platform::UsnRecord& r) { return platform::utf16ToUtf8(r.FileName); }
    // "name:REASONS" of every record, for comparisons that read well.
    static std::vector<std::string> describe(const std::vector<platform::UsnRecord>& records) {
        std::vector<std::string> out;
        for (const auto& r : records) out.push_back(name(r) + ":" + platform::usnReasonNames(r.Reason));
        return out;
    }
    static void writeFile(const std::filesystem::path& p, const std::string& content) {
        std::ofstream(p, std::ios::binary) << content;
    }
};

#if !defined(_WIN32)
class JournalVolume : public ::testing::Test, public JournalCalls {
protected:
    TempDir temp;
    std::filesystem::path volume = temp.path() / "vol";
    std::filesystem::path journalDir = temp.path() / "journal";
    std::filesystem::path registry = temp.path() / "registry.reg";

    void SetUp() override {
        std::filesystem::create_directories(volume);
        setenv("ORBISK_REGISTRY", registry.c_str(), 1);
        setRegistryValue("C", volume.string());
        setRegistryValue("JournalDir", journalDir.string());
    }
    void TearDown() override {
        unsetenv("ORBISK_REGISTRY");
        unsetenv("AMBRIK_JOURNAL_WATCHER");
    }

    static void setRegistryValue(const std::string& name, const std::string& value) {
        platform::RegistryKey key(nullptr, nullptr);
        bool created = false;
        ASSERT_EQ(platform::regCreateKey(platform::RegistryRoot::LocalMachine, platform::kVolumesKey, &key, &created),
                  platform::kErrorSuccess);
        ASSERT_EQ(platform::regSetValue(key, name, platform::kRegSz, value), platform::kErrorSuccess);
    }
};
#endif
