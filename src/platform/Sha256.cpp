#include "platform/Sha256.h"

#include <openssl/evp.h>

#include <algorithm>

namespace vel {

namespace {
// Fetched once: letting each hash look the digest up by itself costs more than hashing a small
// file.
const EVP_MD* sha256Digest() {
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md ? md : EVP_sha256();
}
}  // namespace

struct Sha256::State {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    EVP_DigestInit_ex(state_->ctx, sha256Digest(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    EVP_DigestUpdate(state_->ctx, data, size);
}

void Sha256::updateZeros(std::uint64_t size) {
    static const unsigned char zeros[65536] = {};
    while (size > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof zeros));
        EVP_DigestUpdate(state_->ctx, zeros, n);
        size -= n;
    }
}

std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(state_->ctx, digest, &length);
    EVP_DigestInit_ex(state_->ctx, sha256Digest(), nullptr);
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    out.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 15]);
    }
    return out;
}

}  // namespace vel
