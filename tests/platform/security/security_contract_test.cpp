// File security and files as both backends answer for items of the test's
// own folder: the owner and its account, the DACL read in its two calls and
// walked ACE by ACE, the Windows codes of what cannot be opened, directory
// listings and reading by Windows path, names that are not ASCII included.
// Descriptors built in memory (empty, null, object ACEs, damaged bytes) go
// through the same calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>

#include "platform/files.h"
#include "platform/security.h"
#include "platform/security_layout.h"
#include "tests/platform/security/security_calls.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_registry.h"

using namespace platform::security;
namespace fs = std::filesystem;

namespace {

// The item's path as the agent writes it: the Windows path itself, or on
// POSIX the path under drive C, which a registry without a volume map puts
// at "/".
std::string windowsForm(const fs::path& p) {
#if defined(_WIN32)
    return utf8Path(p);
#else
    std::string s = "c:" + utf8Path(p);
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
#endif
}

const std::string kCyrillicCjk = "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82-\xE6\x97\xA5\xE5\xBF\x97";  // отчёт-日志

class SecurityContract : public ::testing::Test {
protected:
    TestRegistry registry;  // no volume map: drive C is the root
    TempFolder temp;

    static Sid ownerOf(const std::string& path, bool directory) {
        FileHandlePtr h;
        Sid owner;
        EXPECT_EQ(openForSecurity(path, directory, h), ERROR_SUCCESS_) << path;
        if (h) {
            EXPECT_EQ(getOwnerSid(*h, owner), ERROR_SUCCESS_);
        }
        return owner;
    }
};

}  // namespace

TEST_F(SecurityContract, OwnersAreTheCreatorAndTheirAccountsLookUp) {
    const fs::path file = temp.path() / pathFromUtf8(kCyrillicCjk + ".txt");
    writeWholeFile(file, "x");
    const Sid fileOwner = ownerOf(windowsForm(file), false);
    ASSERT_FALSE(sidToText(fileOwner).empty());
    EXPECT_EQ(ownerOf(windowsForm(temp.path()), true), fileOwner) << "the same creator";
    std::string domain, name;
    ASSERT_EQ(lookupAccountSid(fileOwner, 3000, domain, name), ERROR_SUCCESS_);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(lookupAccountSid(fileOwner, 1, domain, name), ERROR_INSUFFICIENT_BUFFER_);

    Sid everyone, foreign;
    ASSERT_TRUE(sidFromText("S-1-1-0", everyone));
    ASSERT_EQ(lookupAccountSid(everyone, 512, domain, name), ERROR_SUCCESS_);
    EXPECT_EQ(name, "Everyone");
    EXPECT_EQ(domain, "");
    ASSERT_TRUE(sidFromText("S-1-5-21-1-2-3-1000", foreign));
    EXPECT_EQ(lookupAccountSid(foreign, 512, domain, name), ERROR_NONE_MAPPED_);
    EXPECT_EQ(lookupAccountSid(Sid{}, 512, domain, name), ERROR_INVALID_SID_);
    EXPECT_EQ(lookupAccountSid(Sid{{1, 5, 0}}, 512, domain, name), ERROR_INVALID_SID_);
}

TEST_F(SecurityContract, DaclsOfFilesAndFoldersAreWalkedAceByAce) {
    const fs::path file = temp.path() / "plain.txt";
    writeWholeFile(file, "x");
    for (const auto& [path, directory] : {std::pair{windowsForm(file), false}, {windowsForm(temp.path()), true}}) {
        SCOPED_TRACE(path);
        const std::vector<Ace> aces = acesOf(path, directory);
        ASSERT_FALSE(aces.empty());
        bool someoneMayRead = false;
        for (const Ace& a : aces) {
            EXPECT_FALSE(sidToText(a.sid).empty());
            EXPECT_TRUE(a.type == ACCESS_ALLOWED_ACE_TYPE_ || a.type == ACCESS_DENIED_ACE_TYPE_) << int(a.type);
            if (a.type == ACCESS_ALLOWED_ACE_TYPE_ && (a.mask & FILE_GENERIC_READ_) == FILE_GENERIC_READ_)
                someoneMayRead = true;
        }
        EXPECT_TRUE(someoneMayRead);
    }
}

TEST_F(SecurityContract, WhatCannotBeOpenedAnswersWithWindowsCodes) {
    FileHandlePtr h;
    EXPECT_EQ(openForSecurity(windowsForm(temp.path() / "missing.txt"), false, h), ERROR_FILE_NOT_FOUND_);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(openForSecurity(windowsForm(temp.path() / "absent" / "inner.txt"), false, h), ERROR_PATH_NOT_FOUND_);
    EXPECT_EQ(openForSecurity(windowsForm(temp.path()), false, h), ERROR_ACCESS_DENIED_) << "a folder opened as a file";
    // Names match without regard to case.
    writeWholeFile(temp.path() / "Report.TXT", "x");
    EXPECT_EQ(openForSecurity(windowsForm(temp.path() / "report.txt"), false, h), ERROR_SUCCESS_);
    EXPECT_NE(h, nullptr);
}

// Descriptors built in memory: absent, null, empty and listed DACLs, object
// ACEs, and damaged bytes that must be refused, never read past.
TEST(SecurityLayout, DescriptorsCarryAbsentNullEmptyAndListedDacls) {
    Sid everyone, user;
    ASSERT_TRUE(sidFromText("S-1-1-0", everyone));
    ASSERT_TRUE(sidFromText("S-1-5-21-1-2-3-1000", user));
    bool present = true, isNull = true;
    Acl acl;
    EXPECT_EQ(getSecurityDescriptorDacl(buildSecurityDescriptor(&user, false, nullptr), present, isNull, acl),
              ERROR_SUCCESS_);
    EXPECT_FALSE(present);
    EXPECT_EQ(getSecurityDescriptorDacl(buildSecurityDescriptor(nullptr, true, nullptr), present, isNull, acl),
              ERROR_SUCCESS_);
    EXPECT_TRUE(present);
    EXPECT_TRUE(isNull);
    const std::vector<Ace> none;
    EXPECT_EQ(getSecurityDescriptorDacl(buildSecurityDescriptor(nullptr, true, &none), present, isNull, acl),
              ERROR_SUCCESS_);
    EXPECT_FALSE(isNull);
    std::uint32_t count = 9;
    EXPECT_EQ(getAclAceCount(acl, count), ERROR_SUCCESS_);
    EXPECT_EQ(count, 0u);

    // An object ACE keeps its trustee after the object data; a bad index fails.
    const std::vector<Ace> aces = {{ACCESS_DENIED_ACE_TYPE_, INHERITED_ACE_, 0x1F01FF, everyone},
                                   {ACCESS_ALLOWED_OBJECT_ACE_TYPE_, 0, 0x20, user}};
    ASSERT_EQ(getSecurityDescriptorDacl(buildSecurityDescriptor(&user, true, &aces), present, isNull, acl),
              ERROR_SUCCESS_);
    ASSERT_EQ(getAclAceCount(acl, count), ERROR_SUCCESS_);
    ASSERT_EQ(count, 2u);
    Ace ace;
    ASSERT_EQ(getAce(acl, 0, ace), ERROR_SUCCESS_);
    EXPECT_EQ(ace.type, ACCESS_DENIED_ACE_TYPE_);
    EXPECT_EQ(ace.flags, INHERITED_ACE_);
    EXPECT_EQ(ace.mask, 0x1F01FFu);
    EXPECT_EQ(ace.sid, everyone);
    ASSERT_EQ(getAce(acl, 1, ace), ERROR_SUCCESS_);
    EXPECT_EQ(ace.type, ACCESS_ALLOWED_OBJECT_ACE_TYPE_);
    EXPECT_EQ(ace.sid, user);
    EXPECT_NE(getAce(acl, 2, ace), ERROR_SUCCESS_);

    SecurityDescriptor damaged = buildSecurityDescriptor(&user, true, &aces);
    damaged.bytes.resize(damaged.bytes.size() - 6);
    EXPECT_EQ(getSecurityDescriptorDacl(damaged, present, isNull, acl), ERROR_INVALID_SECURITY_DESCR_);
    Acl shortAcl{{2, 0, 40, 0, 1, 0, 0, 0, 0, 0, 200, 0}};
    EXPECT_NE(getAclAceCount(shortAcl, count), ERROR_SUCCESS_);
    EXPECT_NE(getAce(shortAcl, 0, ace), ERROR_SUCCESS_);
}

TEST_F(SecurityContract, ListingsAndReadsGoByWindowsPathInUtf8) {
    const fs::path folder = temp.path() / pathFromUtf8(kCyrillicCjk);
    fs::create_directories(folder / "sub");
    writeWholeFile(folder / pathFromUtf8(kCyrillicCjk + ".bin"), std::string(5000, '\x01') + std::string("\r\n\0z", 4));
    writeWholeFile(folder / "empty.txt", "");
    platform::FindData entry;
    std::uint32_t error = 99;
    auto find = platform::findFirstFile(windowsForm(folder) + "\\*", entry, &error);
    ASSERT_NE(find, nullptr) << error;
    EXPECT_EQ(error, 0u);
    std::map<std::string, platform::FindData> listed;
    do listed[entry.name] = entry;
    while (platform::findNextFile(*find, entry));
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_TRUE(listed["."].directory);
    EXPECT_TRUE(listed[".."].directory);
    EXPECT_TRUE(listed["sub"].directory);
    EXPECT_FALSE(listed["empty.txt"].directory);
    EXPECT_EQ(listed["empty.txt"].size, 0u);
    EXPECT_EQ(listed[kCyrillicCjk + ".bin"].size, 5004u);

    auto file = platform::openFileForReading(windowsForm(folder) + "\\" + kCyrillicCjk + ".bin");
    ASSERT_NE(file, nullptr);
    std::string content(6000, '\0');
    content.resize(std::fread(content.data(), 1, content.size(), file.get()));
    EXPECT_EQ(content, std::string(5000, '\x01') + std::string("\r\n\0z", 4));
    EXPECT_EQ(platform::openFileForReading(windowsForm(folder / "sub")), nullptr) << "a folder is not read";
    EXPECT_EQ(platform::openFileForReading(windowsForm(folder / "missing")), nullptr);

    EXPECT_EQ(platform::findFirstFile(windowsForm(temp.path() / "absent") + "\\*", entry, &error), nullptr);
    EXPECT_EQ(error, 3u);
}
