// The security service: identifiers in their binary layout, and the owners
// and DACLs that Linux files answer with (what both systems answer alike is in
// security_contract_test.cpp).
#include <acl/libacl.h>
#include <gtest/gtest.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>

#include "platform/net.h"
#include "platform/security.h"
#include "tests/platform/security/security_calls.h"
#include "tests/platform/support/temp_dir.h"

using namespace platform::security;

namespace {

std::string windowsPath(const std::filesystem::path& p) {
    std::string s = "c:" + p.string();
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

std::string computerName() {
    std::string name;
    platform::localHostName(&name);
    name = name.substr(0, name.find('.'));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::string accountOf(const Sid& sid) {
    std::string domain, name;
    if (lookupAccountSid(sid, 512, domain, name) != ERROR_SUCCESS_) return "?";
    return domain + "\\" + name;
}

constexpr std::uint32_t kOwnerExtra = READ_CONTROL_ | WRITE_DAC_ | WRITE_OWNER_;

}  // namespace

TEST(SecurityLayout, SidTextsRoundTripAndMalformedOnesAreRefused) {
    for (const char* text : {"S-1-1-0", "S-1-5-21-3623811015-3361044348-30300820-1013", "S-1-22-1-4294967295"}) {
        Sid sid;
        ASSERT_TRUE(sidFromText(text, sid)) << text;
        EXPECT_EQ(sidToText(sid), text);
    }
    Sid sid;
    for (const char* bad : {"", "S-1", "S-2-1-0", "S-1--0", "S-1-1-x", "S-1-1-4294967296",
                            "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"})
        EXPECT_FALSE(sidFromText(bad, sid)) << bad;
    EXPECT_EQ(sidToText(Sid{{1, 5, 0}}), "");  // count says more than the bytes hold
}

TEST(SecurityPosix, ModeBitsGiveOwnerGroupAndEveryone) {
    TempDir dir;
    const auto file = dir.path() / "report.txt";
    std::ofstream(file) << "x";
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    const std::vector<Ace> aces = acesOf(windowsPath(file), false);
    ASSERT_EQ(aces.size(), 3u);
    for (const Ace& a : aces) {
        EXPECT_EQ(a.type, ACCESS_ALLOWED_ACE_TYPE_);
        EXPECT_EQ(a.flags, 0);
    }
    EXPECT_EQ(aces[0].mask, FILE_GENERIC_READ_ | FILE_GENERIC_WRITE_ | kOwnerExtra);
    EXPECT_EQ(sidToText(aces[0].sid), "S-1-22-1-" + std::to_string(geteuid()));
    EXPECT_EQ(aces[1].mask, FILE_GENERIC_READ_);
    EXPECT_EQ(sidToText(aces[1].sid), "S-1-22-2-" + std::to_string(getegid()));
    EXPECT_EQ(aces[2].mask, 0u);
    EXPECT_EQ(accountOf(aces[2].sid), "\\Everyone");

    // A link is read as itself (its mode is 0777), never as what it points to.
    const auto link = dir.path() / "link.txt";
    std::filesystem::create_symlink(file, link);
    const std::vector<Ace> linkAces = acesOf(windowsPath(link), false);
    ASSERT_EQ(linkAces.size(), 3u);
    EXPECT_EQ(linkAces[2].mask, FILE_GENERIC_READ_ | FILE_GENERIC_WRITE_ | FILE_GENERIC_EXECUTE_);

    // A writable directory lets its entries be deleted; x is traverse.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::vector<Ace> dirAces = acesOf(windowsPath(dir.path()), true);
    ASSERT_EQ(dirAces.size(), 3u);
    EXPECT_EQ(dirAces[0].mask,
              FILE_GENERIC_READ_ | FILE_GENERIC_WRITE_ | FILE_DELETE_CHILD_ | FILE_GENERIC_EXECUTE_ | kOwnerExtra);
    EXPECT_EQ(dirAces[2].mask, FILE_GENERIC_READ_ | FILE_GENERIC_EXECUTE_);
}

TEST(SecurityPosix, AccessAclEntriesAreLimitedByTheMask) {
    TempDir dir;
    const auto file = dir.path() / "shared.txt";
    std::ofstream(file) << "x";
    acl_t acl = acl_from_text("u::rw-,u:54321:rwx,g::rw-,g:54322:r-x,m::r--,o::r--");
    ASSERT_NE(acl, nullptr);
    const int rc = acl_set_file(file.c_str(), ACL_TYPE_ACCESS, acl);
    acl_free(acl);
    if (rc != 0) GTEST_SKIP() << "the file system of /tmp takes no POSIX ACLs";
    const std::vector<Ace> aces = acesOf(windowsPath(file), false);
    ASSERT_EQ(aces.size(), 5u);
    EXPECT_EQ(aces[0].mask, FILE_GENERIC_READ_ | FILE_GENERIC_WRITE_ | kOwnerExtra);  // owner: no mask
    EXPECT_EQ(sidToText(aces[1].sid), "S-1-22-1-54321");
    EXPECT_EQ(aces[1].mask, FILE_GENERIC_READ_);
    EXPECT_EQ(sidToText(aces[2].sid), "S-1-22-2-" + std::to_string(getegid()));
    EXPECT_EQ(aces[2].mask, FILE_GENERIC_READ_);
    EXPECT_EQ(sidToText(aces[3].sid), "S-1-22-2-54322");
    EXPECT_EQ(aces[3].mask, FILE_GENERIC_READ_);
    EXPECT_EQ(sidToText(aces[4].sid), "S-1-1-0");
    EXPECT_EQ(aces[4].mask, FILE_GENERIC_READ_);
    // Accounts without a name answer with their number.
    EXPECT_EQ(accountOf(aces[1].sid), computerName() + "\\54321");
}

TEST(SecurityPosix, OwnerAccountsAndLookupFailures) {
    TempDir dir;
    const auto file = dir.path() / "owned.txt";
    std::ofstream(file) << "x";
    FileHandlePtr h;
    ASSERT_EQ(openForSecurity(windowsPath(file), false, h), ERROR_SUCCESS_);
    Sid owner;
    ASSERT_EQ(getOwnerSid(*h, owner), ERROR_SUCCESS_);
    std::string domain, name;
    ASSERT_EQ(lookupAccountSid(owner, 3000, domain, name), ERROR_SUCCESS_);
    EXPECT_EQ(domain, computerName());
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(lookupAccountSid(owner, 2, domain, name), ERROR_INSUFFICIENT_BUFFER_);

    Sid foreign;
    ASSERT_TRUE(sidFromText("S-1-5-21-1-2-3-1000", foreign));
    EXPECT_EQ(lookupAccountSid(foreign, 512, domain, name), ERROR_NONE_MAPPED_);
    EXPECT_EQ(lookupAccountSid(Sid{}, 512, domain, name), ERROR_INVALID_SID_);

    if (geteuid() == 0) {
        ASSERT_EQ(chown(file.c_str(), 54321, 54321), 0);
        ASSERT_EQ(openForSecurity(windowsPath(file), false, h), ERROR_SUCCESS_);
        ASSERT_EQ(getOwnerSid(*h, owner), ERROR_SUCCESS_);
        EXPECT_EQ(accountOf(owner), computerName() + "\\54321");
    }
}

TEST(SecurityPosix, OpeningFollowsTheWindowsRules) {
    TempDir dir;
    FileHandlePtr h;
    EXPECT_EQ(openForSecurity(windowsPath(dir.path() / "missing.txt"), false, h), ERROR_FILE_NOT_FOUND_);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(openForSecurity(windowsPath(dir.path()), false, h), ERROR_ACCESS_DENIED_);
    EXPECT_EQ(openForSecurity("q:\\nowhere", false, h), ERROR_PATH_NOT_FOUND_);
    EXPECT_EQ(openForSecurity(std::string("c:\\tmp\0x", 9), false, h), ERROR_INVALID_NAME_);
    // Names match without regard to case, unless that is ambiguous.
    std::ofstream(dir.path() / "Report.TXT") << "x";
    std::string lower = windowsPath(dir.path() / "report.txt");
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(openForSecurity(lower, false, h), ERROR_SUCCESS_);
    std::ofstream(dir.path() / "twin.txt") << "x";
    std::ofstream(dir.path() / "TWIN.txt") << "x";
    EXPECT_EQ(openForSecurity(windowsPath(dir.path() / "Twin.txt"), false, h), ERROR_FILE_NOT_FOUND_);
    // A FIFO with no writer opens at once.
    const auto fifo = dir.path() / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(openForSecurity(windowsPath(fifo), false, h), ERROR_SUCCESS_);
}

TEST(SecurityPosix, PrivilegeFollowsRootOrTheReadCapability) {
    WinError last = 99;
    ASSERT_TRUE(enableSecurityPrivilege(last));
    if (geteuid() == 0) EXPECT_EQ(last, ERROR_SUCCESS_);
    else EXPECT_TRUE(last == ERROR_SUCCESS_ || last == ERROR_NOT_ALL_ASSIGNED_);
}
