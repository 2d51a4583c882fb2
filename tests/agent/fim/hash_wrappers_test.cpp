// The digest classes over OpenSSL: the test phrase, texts, files, one read
// for both digests, and files that cannot be read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "agent/fim/file_attributes.h"
#include "agent/fim/hash_wrappers.h"
#include "tests/agent/fim/fim_test_support.h"
#include "tests/platform/support/temp_dir.h"
#include "tests/support/log_capture.h"

TEST(HashWrappers, TestPhraseTextsAndFiles) {
    md5wrapper md5;
    sha1wrapper sha1;
    EXPECT_NO_THROW(md5.test());
    EXPECT_NO_THROW(sha1.test());
    EXPECT_EQ(md5.getHashFromString(kHashTestPhrase), "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(sha1.getHashFromString(kHashTestPhrase), "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12");
    EXPECT_EQ(md5.getHashFromString(""), "d41d8cd98f00b204e9800998ecf8427e");

    // A file of several read blocks, through both ways of hashing it.
    TempDir dir;
    const auto file = dir.path() / "big.bin";
    {
        std::ofstream out(file, std::ios::binary);
        for (int i = 0; i < 200000; ++i) out << "abc";
    }
    const std::string path = windowsPathOf(file);
    const FileDigests both = hashFileMd5AndSha1(path);
    EXPECT_EQ(both.md5, md5.getHashFromFile(path));
    EXPECT_EQ(both.sha1, sha1.getHashFromFile(path));
    EXPECT_EQ(both.md5.size(), 32u);
    EXPECT_EQ(both.sha1.size(), 40u);
    std::ofstream(dir.path() / "abc.txt") << "abc";
    EXPECT_EQ(md5.getHashFromFile(windowsPathOf(dir.path() / "abc.txt")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(sha1.getHashFromFile(windowsPathOf(dir.path() / "abc.txt")),
              "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(HashWrappers, UnreadableFilesGiveTheMessageInBothFields) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir.path() / "pipe").c_str(), 0600), 0);  // would block a plain open
    std::ofstream(dir.path() / "locked.txt") << "secret";
    ASSERT_EQ(chmod((dir.path() / "locked.txt").c_str(), 0), 0);
    std::vector<std::string> paths = {windowsPathOf(dir.path() / "missing.txt"), windowsPathOf(dir.path() / "pipe"),
                                      windowsPathOf(dir.path())};
    if (geteuid() != 0) paths.push_back(windowsPathOf(dir.path() / "locked.txt"));
    for (const std::string& path : paths) {
        LogCapture log;
        FileAttributeRecord r;
        r.path = path;
        computeChecksums(r);
        const std::string message = "Cannot read file \"" + path + "\".";
        EXPECT_EQ(r.md5, message);
        EXPECT_EQ(r.sha1, message);
        EXPECT_TRUE(log.has("\n Exception while calculating MD5-checksum..with error " + message + ":"));
        EXPECT_TRUE(log.has("\n Exception while calculating SHA1-checksum..with error " + message + ":"));
        try {
            md5wrapper().getHashFromFile(path);
            ADD_FAILURE() << "no exception for " << path;
        } catch (const hlException& e) {
            EXPECT_EQ(e.error_message(), message);
            EXPECT_EQ(e.error_number(), HL_FILE_READ_ERROR);
        }
    }
}
