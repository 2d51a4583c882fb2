// Digests through CNG: an algorithm provider opened once per object, a hash
// object per digest (a finished CNG hash cannot take more data).
#include "platform/digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace platform {

namespace {
bool succeeded(NTSTATUS status) { return status >= 0; }
}  // namespace

struct Digest::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<unsigned char> hashObject;
    DWORD length = 0;

    void closeHash() {
        if (hash) BCryptDestroyHash(hash);
        hash = nullptr;
    }
};

Digest::Digest(DigestKind kind) : state_(std::make_unique<State>()) {
    const wchar_t* name = kind == DigestKind::Md5 ? BCRYPT_MD5_ALGORITHM : BCRYPT_SHA1_ALGORITHM;
    if (!succeeded(BCryptOpenAlgorithmProvider(&state_->algorithm, name, nullptr, 0))) {
        state_->algorithm = nullptr;
        return;
    }
    DWORD objectSize = 0;
    DWORD written = 0;
    if (!succeeded(BCryptGetProperty(state_->algorithm, BCRYPT_OBJECT_LENGTH,
                                     reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize, &written, 0)) ||
        !succeeded(BCryptGetProperty(state_->algorithm, BCRYPT_HASH_LENGTH,
                                     reinterpret_cast<PUCHAR>(&state_->length), sizeof state_->length, &written,
                                     0))) {
        BCryptCloseAlgorithmProvider(state_->algorithm, 0);
        state_->algorithm = nullptr;
        return;
    }
    state_->hashObject.resize(objectSize);
}

Digest::~Digest() {
    state_->closeHash();
    if (state_->algorithm) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

bool Digest::valid() const { return state_->algorithm != nullptr; }

bool Digest::start() {
    if (!valid()) return false;
    state_->closeHash();
    if (!succeeded(BCryptCreateHash(state_->algorithm, &state_->hash, state_->hashObject.data(),
                                    static_cast<ULONG>(state_->hashObject.size()), nullptr, 0, 0))) {
        state_->hash = nullptr;
        return false;
    }
    return true;
}

bool Digest::update(const unsigned char* data, std::size_t length) {
    if (!state_->hash) return false;
    // BCryptHashData takes at most 4 GiB at a time.
    while (length > 0) {
        const ULONG part = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        if (!succeeded(BCryptHashData(state_->hash, const_cast<PUCHAR>(data), part, 0))) return false;
        data += part;
        length -= part;
    }
    return true;
}

bool Digest::finish(std::string& digest) {
    if (!state_->hash) return false;
    std::string bytes(state_->length, '\0');
    const bool ok = succeeded(
        BCryptFinishHash(state_->hash, reinterpret_cast<PUCHAR>(bytes.data()), state_->length, 0));
    state_->closeHash();
    if (ok) digest = std::move(bytes);
    return ok;
}

}  // namespace platform
