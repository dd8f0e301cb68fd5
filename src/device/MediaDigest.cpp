#include "device/MediaDigest.h"

#include <openssl/evp.h>

#include <memory>
#include <vector>

namespace vel {

namespace {

constexpr std::size_t kPiece = 1 << 20;

std::string hex(const unsigned char* p, unsigned n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

}  // namespace

MediaDigest digestMedia(const readWriteInterface& source,
                        const std::function<bool(std::int64_t, std::int64_t)>& progress) {
    MediaDigest result;
    Context md5(EVP_MD_CTX_new(), &EVP_MD_CTX_free), sha1(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(md5.get(), EVP_md5(), nullptr);
    EVP_DigestInit_ex(sha1.get(), EVP_sha1(), nullptr);
    const std::int64_t total = source.byteSize();
    std::vector<unsigned char> buffer(kPiece);
    for (std::int64_t at = 0; at < total;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(kPiece, total - at));
        ReadOutcome r = source.readAt(at, buffer.data(), n);
        result.unreadableBytes += r.unreadableBytes;
        EVP_DigestUpdate(md5.get(), buffer.data(), n);
        EVP_DigestUpdate(sha1.get(), buffer.data(), n);
        at += static_cast<std::int64_t>(n);
        if (progress && !progress(at, total)) {
            result.stopped = true;
            break;
        }
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_DigestFinal_ex(md5.get(), out, &size);
    result.md5 = hex(out, size);
    EVP_DigestFinal_ex(sha1.get(), out, &size);
    result.sha1 = hex(out, size);
    return result;
}

}  // namespace vel
