// MD5 and SHA-1 digests from the system's cryptographic library: OpenSSL's
// EVP interface on POSIX, CNG (BCrypt) on Windows.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

enum class DigestKind { Md5, Sha1 };

// One running digest: start(), update() any number of times, finish(). Each
// call answers false when the library fails; the caller words the error.
class Digest {
public:
    explicit Digest(DigestKind kind);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    // False when the library could not give a digest context at all.
    bool valid() const;
    // Begins a new digest, dropping whatever was fed before.
    bool start();
    bool update(const unsigned char* data, std::size_t length);
    // Ends the digest and puts its bytes (16 for MD5, 20 for SHA-1) into
    // `digest`; start() must come before the next update().
    bool finish(std::string& digest);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
