#include "platform/digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

std::string digestOf(platform::DigestKind kind, const std::string& text) {
    platform::Digest digest(kind);
    std::string bytes;
    EXPECT_TRUE(digest.valid());
    EXPECT_TRUE(digest.start());
    EXPECT_TRUE(digest.update(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    EXPECT_TRUE(digest.finish(bytes));
    return hex(bytes);
}

TEST(PlatformDigest, KnownDigestsOfEmptyAndShortTexts) {
    using platform::DigestKind;
    EXPECT_EQ(digestOf(DigestKind::Md5, ""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digestOf(DigestKind::Sha1, ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(digestOf(DigestKind::Md5, "The quick brown fox jumps over the lazy dog"),
              "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(digestOf(DigestKind::Sha1, "The quick brown fox jumps over the lazy dog"),
              "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12");
}

// A file is fed block by block, and one object digests many files in turn:
// the parts must add up to the whole, and start() must forget the last file.
TEST(PlatformDigest, PartsAddUpAndStartBeginsAfresh) {
    const std::string text(200000, 'x');
    for (auto kind : {platform::DigestKind::Md5, platform::DigestKind::Sha1}) {
        platform::Digest digest(kind);
        ASSERT_TRUE(digest.start());
        ASSERT_TRUE(digest.update(reinterpret_cast<const unsigned char*>("stale"), 5));
        ASSERT_TRUE(digest.start());
        const auto* data = reinterpret_cast<const unsigned char*>(text.data());
        for (std::size_t at = 0; at < text.size(); at += 65536)
            ASSERT_TRUE(digest.update(data + at, std::min<std::size_t>(65536, text.size() - at)));
        std::string bytes;
        ASSERT_TRUE(digest.finish(bytes));
        EXPECT_EQ(hex(bytes), digestOf(kind, text));
        EXPECT_EQ(bytes.size(), kind == platform::DigestKind::Md5 ? 16u : 20u);
        // A finished digest is reusable after start().
        ASSERT_TRUE(digest.start());
        ASSERT_TRUE(digest.finish(bytes));
        EXPECT_EQ(hex(bytes), digestOf(kind, ""));
    }
}

}  // namespace
