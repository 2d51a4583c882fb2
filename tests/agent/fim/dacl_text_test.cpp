// The DACL and owner texts: the grammar, the mask table, the de-duplication
// of accounts on directories and the escaping of each database flag.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "agent/fim/dacl_text.h"
#include "agent/fim/file_attributes.h"
#include "tests/agent/fim/fim_test_support.h"
#include "tests/platform/support/temp_dir.h"
#include "tests/support/log_capture.h"

namespace sec = platform::security;

namespace {

sec::Sid sid(const char* text) {
    sec::Sid s;
    EXPECT_TRUE(sec::sidFromText(text, s)) << text;
    return s;
}

std::string textOf(const std::vector<sec::Ace>* aces, bool isFile, int flag = 1, bool present = true) {
    return daclTextOfDescriptor(sec::buildSecurityDescriptor(nullptr, present, aces), "c:\\x", isFile, flag);
}

const std::string kFileAll =
    "ACCESS_MASK: FILE_READ_DATA,FILE_WRITE_DATA,FILE_APPEND_DATA,FILE_READ_EA,FILE_WRITE_EA,FILE_EXECUTE,"
    "FILE_DELETE_CHILD,FILE_READ_ATTRIBUTES,FILE_WRITE_ATTRIBUTES,FILE_ALL_ACCESS,FILE_GENERIC_READ,"
    "FILE_GENERIC_WRITE,FILE_GENERIC_EXECUTE,DELETE,READ_CONTROL,WRITE_DAC,WRITE_OWNER,SYNCHRONIZE,"
    "STANDARD_RIGHTS_REQUIRED,STANDARD_RIGHTS_ALL,";

}  // namespace

TEST(DaclText, EmptyNullAndAbsentDacls) {
    LogCapture log;
    const std::vector<sec::Ace> none;
    EXPECT_EQ(textOf(&none, true), "ACLINFO: ACETYPE: ACCESS_DENIED,ACCESS_MASK: ACCESS_DENIED");
    EXPECT_TRUE(log.has("\n EMPTY DACL for file c:\\x.DACL is by default ACCESS_DENIED to all"));
    EXPECT_EQ(textOf(nullptr, false), "ACLINFO: ACETYPE: ACCESS_ALLOWED,ACCESS_MASK: ACCESS_ALLOWED");
    EXPECT_TRUE(log.has("\n NULL DACL for file c:\\x.DACL is by default ACCESS_ALLOWED for all"));
    EXPECT_EQ(textOf(nullptr, true, 1, false), "ACLINFO: ");
    // A damaged descriptor is an error text, without a comma between its parts.
    EXPECT_EQ(daclTextOfDescriptor(sec::SecurityDescriptor{{1, 0}}, "c:\\x", true, 1),
              "ACLINFO: ACETYPE: ERRORACCESS_MASK: ERROR");
}

TEST(DaclText, MaskTableOrderAndNames) {
    EXPECT_EQ(accessMaskText(0x1F01FF, true), kFileAll);
    // Directory names of the first rights; SPECIFIC_RIGHTS_ALL only with all sixteen bits.
    EXPECT_EQ(accessMaskText(0x27, false),
              "ACCESS_MASK: FILE_LIST_DIRECTORY,FILE_ADD_FILE,FILE_ADD_SUBDIRECTORY,FILE_TRAVERSE,");
    EXPECT_EQ(accessMaskText(0xFFFF, true).find("unknown,unknown,unknown,unknown,unknown,unknown,unknown,"),
              std::string("ACCESS_MASK: FILE_READ_DATA,FILE_WRITE_DATA,FILE_APPEND_DATA,FILE_READ_EA,"
                          "FILE_WRITE_EA,FILE_EXECUTE,FILE_DELETE_CHILD,FILE_READ_ATTRIBUTES,"
                          "FILE_WRITE_ATTRIBUTES,").size());
    EXPECT_NE(accessMaskText(0xFFFF, true).find("SPECIFIC_RIGHTS_ALL,"), std::string::npos);
    // Every one of the 39 rows is written for a full mask, each with one comma.
    const std::string all = accessMaskText(0xFFFFFFFF, true);
    EXPECT_EQ(std::count(all.begin(), all.end(), ','), 39);
    EXPECT_EQ(accessMaskText(0, true), "ACCESS_MASK: ");
}

TEST(DaclText, DirectoriesListAnAccountOncePerTypeFilesListEveryAce) {
    const std::vector<sec::Ace> aces = {
        {sec::ACCESS_ALLOWED_ACE_TYPE_, sec::INHERITED_ACE_, 0x1F01FF, sid("S-1-1-0")},
        {sec::ACCESS_ALLOWED_ACE_TYPE_, sec::INHERITED_ACE_ | sec::OBJECT_INHERIT_ACE_, 0x120089, sid("S-1-1-0")},
    };
    const std::string one = "ACETYPE: ACCESS_ALLOWED," + kFileAll + "TRUSTED_SID: \\Everyone";
    EXPECT_EQ(textOf(&aces, false), "ACLINFO: ACETYPE: ACCESS_ALLOWED," + accessMaskText(0x1F01FF, false) +
                                        "TRUSTED_SID: \\Everyone");
    EXPECT_EQ(textOf(&aces, true), "ACLINFO: " + one + ",ACETYPE: ACCESS_ALLOWED," +
                                       "ACCESS_MASK: FILE_READ_DATA,FILE_READ_EA,FILE_READ_ATTRIBUTES,"
                                       "FILE_GENERIC_READ,READ_CONTROL,SYNCHRONIZE,TRUSTED_SID: \\Everyone");

    // A denying ACE for the same account is written; audit ACEs never are;
    // accounts without a name are told apart by their identifier.
    LogCapture log;
    const std::vector<sec::Ace> mixed = {
        {sec::ACCESS_ALLOWED_ACE_TYPE_, 0, 0x1, sid("S-1-1-0")},
        {sec::ACCESS_DENIED_ACE_TYPE_, 0, 0x2, sid("S-1-1-0")},
        {sec::SYSTEM_AUDIT_ACE_TYPE_, 0, 0x2, sid("S-1-1-0")},
        {sec::ACCESS_ALLOWED_ACE_TYPE_, 0, 0x4, sid("S-1-5-21-1-2-3-1000")},
        {sec::ACCESS_ALLOWED_ACE_TYPE_, 0, 0x4, sid("S-1-5-21-1-2-3-1001")},
    };
    EXPECT_EQ(textOf(&mixed, false),
              "ACLINFO: ACETYPE: ACCESS_ALLOWED,ACCESS_MASK: FILE_LIST_DIRECTORY,TRUSTED_SID: \\Everyone,"
              "ACETYPE: ACCESS_DENIED,ACCESS_MASK: FILE_ADD_FILE,TRUSTED_SID: \\Everyone,"
              "ACETYPE: ACCESS_ALLOWED,ACCESS_MASK: FILE_ADD_SUBDIRECTORY,TRUSTED_SID: ,"
              "ACETYPE: ACCESS_ALLOWED,ACCESS_MASK: FILE_ADD_SUBDIRECTORY,TRUSTED_SID: ");
    EXPECT_TRUE(log.has("failed with error 1332: No mapping between account names and security IDs was done."));
    textOf(&mixed, true);
    EXPECT_TRUE(log.has("\n Access Mask is 2"));
}

TEST(DaclText, TrusteeAndOwnerTextsFollowTheDatabaseFlag) {
    if (geteuid() != 0 || getegid() != 0) GTEST_SKIP() << "needs root: the expected accounts are root's";
    TempDir dir;
    const auto file = dir.path() / "owned.txt";
    std::ofstream(file) << "x";
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    for (int flag : {0, 1, 2}) {
        useDatabaseFlag(flag);
        FileAttributeRecord r;
        r.path = windowsPathOf(file);
        FileOwnerInfo(r);
        GetDACLInfo(r);
        const std::string root = hostDomain() + (flag == 1 ? "\\" : "\\\\") + "root";
        EXPECT_EQ(r.owner, root) << flag;
        EXPECT_EQ(r.dacl, "ACLINFO: ACETYPE: ACCESS_ALLOWED,ACCESS_MASK: FILE_READ_DATA,FILE_WRITE_DATA,"
                          "FILE_APPEND_DATA,FILE_READ_EA,FILE_WRITE_EA,FILE_READ_ATTRIBUTES,"
                          "FILE_WRITE_ATTRIBUTES,FILE_GENERIC_READ,FILE_GENERIC_WRITE,READ_CONTROL,WRITE_DAC,"
                          "WRITE_OWNER,SYNCHRONIZE,TRUSTED_SID: " +
                              root + ",ACETYPE: ACCESS_ALLOWED,ACCESS_MASK: TRUSTED_SID: " + root +
                              ",ACETYPE: ACCESS_ALLOWED,ACCESS_MASK: TRUSTED_SID: " +
                              (flag == 1 ? "\\" : "\\\\") + "Everyone")
            << flag;
    }
    useDatabaseFlag(1);
}

TEST(DaclText, ItemsThatCannotBeOpenedGetTheErrorText) {
    LogCapture log;
    FileAttributeRecord r;
    r.path = "c:\\no\\such\\file.txt";
    GetDACLInfo(r);
    FileOwnerInfo(r);
    EXPECT_EQ(r.dacl, "ACLINFO: ACETYPE: ERROR,ACCESS_MASK: ERROR");
    EXPECT_EQ(r.owner, "");
    EXPECT_TRUE(log.has("GetDACLInfo: Unable to get handle for c:\\no\\such\\file.txt = 3\n"));
    EXPECT_TRUE(log.has("\nFileOwnerInfo: Unable to get handle for c:\\no\\such\\file.txt = 3\n"));
}
