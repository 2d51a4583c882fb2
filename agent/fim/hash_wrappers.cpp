// Digests through the platform's digest. A file is read in 64 KiB blocks; the digests
// are the same whatever the block size.
#include "agent/fim/hash_wrappers.h"

#include <vector>

#include "agent/fim/file_worker.h"
#include "platform/files.h"

namespace {

constexpr std::size_t kReadBlock = 64 * 1024;

// Reads a file to its end, handing every block to `feed`. On the file
// worker the stop ends the read between two blocks (FileWorkStopped), so a
// huge file does not hold the stop up.
template <class Feed>
void readWholeFile(const std::string& path, Feed feed) {
    platform::FilePtr file = platform::openFileForReading(path);
    if (!file) throw hlException(HL_FILE_READ_ERROR, cannotReadFileMessage(path));
    std::vector<unsigned char> buffer(kReadBlock);
    for (;;) {
        throwIfFileWorkStopped();
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (n > 0) feed(buffer.data(), n);
        if (n < buffer.size()) break;
    }
    // A read that failed part-way must not pass for the digest of the file.
    if (std::ferror(file.get())) throw hlException(HL_FILE_READ_ERROR, cannotReadFileMessage(path));
}

}  // namespace

std::string cannotReadFileMessage(const std::string& path) { return "Cannot read file \"" + path + "\"."; }

hashwrapper::hashwrapper(platform::DigestKind kind) : digest_(kind) {
    if (!digest_.valid()) throw hlException(HL_DIGEST_ERROR, "Cannot create the digest context.");
    resetContext();
}

hashwrapper::~hashwrapper() = default;

std::string hashwrapper::hashIt() {
    std::string digest;
    if (!digest_.finish(digest)) throw hlException(HL_DIGEST_ERROR, "Cannot finish the digest.");
    return convToString(reinterpret_cast<const unsigned char*>(digest.data()), digest.size());
}

std::string hashwrapper::convToString(const unsigned char* digest, std::size_t length) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * length);
    for (std::size_t i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0xF];
    }
    return out;
}

void hashwrapper::updateContext(const unsigned char* data, std::size_t length) {
    if (!digest_.update(data, length))
        throw hlException(HL_DIGEST_ERROR, "Cannot update the digest.");
}

void hashwrapper::resetContext() {
    if (!digest_.start())
        throw hlException(HL_DIGEST_ERROR, "Cannot start the digest.");
}

void hashwrapper::test() {
    if (getHashFromString(kHashTestPhrase) != getTestHash())
        throw hlException(HL_VERIFY_TEST_FAILED, "hashwrapper::test: the digest of the test phrase is wrong.");
}

std::string hashwrapper::getHashFromString(const std::string& text) {
    resetContext();
    updateContext(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return hashIt();
}

std::string hashwrapper::getHashFromFile(const std::string& path) {
    resetContext();
    readWholeFile(path, [this](const unsigned char* data, std::size_t n) { updateContext(data, n); });
    return hashIt();
}

md5wrapper::md5wrapper() : hashwrapper(platform::DigestKind::Md5) {}
std::string md5wrapper::getTestHash() const { return "9e107d9d372bb6826bd81d3542a419d6"; }

sha1wrapper::sha1wrapper() : hashwrapper(platform::DigestKind::Sha1) {}
std::string sha1wrapper::getTestHash() const { return "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12"; }

FileDigests hashFileMd5AndSha1(const std::string& path) {
    md5wrapper md5;
    sha1wrapper sha1;
    readWholeFile(path, [&](const unsigned char* data, std::size_t n) {
        md5.updateContext(data, n);
        sha1.updateContext(data, n);
    });
    return FileDigests{md5.hashIt(), sha1.hashIt()};
}
