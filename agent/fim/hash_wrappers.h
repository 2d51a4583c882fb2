// MD5 and SHA-1 digests of texts and files, as lower-case hexadecimal, over
// the platform's digest (platform/digest.h). Failures are thrown as hlException; they never
// leave the attribute collection, which stores the message instead of a
// digest.
#pragma once

#include <cstddef>
#include <string>

#include "platform/digest.h"

// An error number and its message.
class hlException {
public:
    hlException(int number, std::string message) : number_(number), message_(std::move(message)) {}
    int error_number() const { return number_; }
    const std::string& error_message() const { return message_; }

private:
    int number_;
    std::string message_;
};

// Error numbers of hlException.
inline constexpr int HL_FILE_READ_ERROR = 1;
inline constexpr int HL_VERIFY_TEST_FAILED = 2;
inline constexpr int HL_DIGEST_ERROR = 3;

// The message of a file that cannot be read: Cannot read file "path".
std::string cannotReadFileMessage(const std::string& path);

// The operations in their order: final digest, digest to hex, update, reset,
// expected digest of the test phrase, destructor, self-test, digest of a
// string, digest of a file.
class hashwrapper {
public:
    hashwrapper(const hashwrapper&) = delete;
    hashwrapper& operator=(const hashwrapper&) = delete;

    virtual std::string hashIt();
    virtual std::string convToString(const unsigned char* digest, std::size_t length);
    virtual void updateContext(const unsigned char* data, std::size_t length);
    virtual void resetContext();
    virtual std::string getTestHash() const = 0;
    virtual ~hashwrapper();
    // Hashes "The quick brown fox jumps over the lazy dog" and throws on a mismatch.
    virtual void test();
    virtual std::string getHashFromString(const std::string& text);
    // Reads the file (a Windows path) to its end; throws "Cannot read file" when
    // it cannot be opened or a read fails.
    virtual std::string getHashFromFile(const std::string& path);

protected:
    explicit hashwrapper(platform::DigestKind kind);

private:
    platform::Digest digest_;
};

class md5wrapper : public hashwrapper {
public:
    md5wrapper();
    std::string getTestHash() const override;
};

class sha1wrapper : public hashwrapper {
public:
    sha1wrapper();
    std::string getTestHash() const override;
};

// The phrase of the self-test.
inline constexpr const char* kHashTestPhrase = "The quick brown fox jumps over the lazy dog";

// Both digests of a file from one read of it: the pair of hex texts. Throws
// hlException (the "Cannot read file" message) as getHashFromFile does.
struct FileDigests {
    std::string md5;
    std::string sha1;
};
FileDigests hashFileMd5AndSha1(const std::string& path);
