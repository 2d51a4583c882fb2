// Digests through OpenSSL EVP.
#include "platform/digest.h"

#include <openssl/evp.h>

namespace platform {

struct Digest::State {
    const EVP_MD* algorithm = nullptr;
    EVP_MD_CTX* context = nullptr;
};

Digest::Digest(DigestKind kind) : state_(std::make_unique<State>()) {
    state_->algorithm = kind == DigestKind::Md5 ? EVP_md5() : EVP_sha1();
    state_->context = EVP_MD_CTX_new();
}

Digest::~Digest() { EVP_MD_CTX_free(state_->context); }

bool Digest::valid() const { return state_->context != nullptr; }

bool Digest::start() {
    return valid() && EVP_DigestInit_ex(state_->context, state_->algorithm, nullptr) == 1;
}

bool Digest::update(const unsigned char* data, std::size_t length) {
    return valid() && EVP_DigestUpdate(state_->context, data, length) == 1;
}

bool Digest::finish(std::string& digest) {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!valid() || EVP_DigestFinal_ex(state_->context, bytes, &length) != 1) return false;
    digest.assign(reinterpret_cast<const char*>(bytes), length);
    return true;
}

}  // namespace platform
