// Writes the default signature file: vellorine-make-signatures OUTPUT
#include <cstdio>

#include "raw/SignatureFile.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    bool ok = true;
    for (const vel::SignatureFileRecord& r : vel::defaultSignatureRecords()) {
        const auto bytes = vel::encodeRecord(r);
        ok = ok && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    }
    ok = std::fclose(out) == 0 && ok;
    return ok ? 0 : 1;
}
