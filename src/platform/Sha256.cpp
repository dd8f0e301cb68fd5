#include "platform/Sha256.h"

#include <nettle/sha2.h>

#include <algorithm>

namespace vel {

struct Sha256::State {
    sha256_ctx ctx;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    sha256_init(&state_->ctx);
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    sha256_update(&state_->ctx, size, static_cast<const std::uint8_t*>(data));
}

void Sha256::updateZeros(std::uint64_t size) {
    static const std::uint8_t zeros[65536] = {};
    while (size > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof zeros));
        sha256_update(&state_->ctx, n, zeros);
        size -= n;
    }
}

std::string Sha256::hex() {
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&state_->ctx, sizeof digest, digest);
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    out.reserve(2 * sizeof digest);
    for (std::uint8_t b : digest) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

}  // namespace vel
