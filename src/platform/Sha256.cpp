#include "platform/Sha256.h"

#include <openssl/evp.h>

#include <algorithm>
#include <utility>

namespace vel {

namespace {
// Fetched once: letting each hash look the digest up by itself costs more than hashing a small
// file.
const EVP_MD* sha256Digest() {
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md ? md : EVP_sha256();
}

// A context costs more to make and free than hashing a small file: each thread keeps one to
// hand to its next hash.
thread_local struct SpareContext {
    EVP_MD_CTX* ctx = nullptr;
    ~SpareContext() { EVP_MD_CTX_free(ctx); }
} spare;
}  // namespace

struct Sha256::State {
    EVP_MD_CTX* ctx = std::exchange(spare.ctx, nullptr);
    bool begun = false;
    State() {
        if (!ctx) ctx = EVP_MD_CTX_new();
    }
    ~State() {
        if (spare.ctx)
            EVP_MD_CTX_free(ctx);
        else
            spare.ctx = ctx;
    }
    EVP_MD_CTX* context() {
        if (!begun) EVP_DigestInit_ex(ctx, sha256Digest(), nullptr);
        begun = true;
        return ctx;
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    EVP_DigestUpdate(state_->context(), data, size);
}

void Sha256::updateZeros(std::uint64_t size) {
    static const unsigned char zeros[65536] = {};
    while (size > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof zeros));
        EVP_DigestUpdate(state_->context(), zeros, n);
        size -= n;
    }
}

std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(state_->context(), digest, &length);
    state_->begun = false;
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
