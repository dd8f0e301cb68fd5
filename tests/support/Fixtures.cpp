#include "support/Fixtures.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

namespace vel::test {

namespace fs = std::filesystem;

std::string sourceDir() {
    return VELLORINE_SOURCE_DIR;
}
std::string binaryDir() {
    return VELLORINE_BINARY_DIR;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string unpackXz(const std::string& xzPath) {
    if (!fs::exists(xzPath)) throw std::runtime_error("missing fixture " + xzPath);
    fs::path dir = fs::path(binaryDir()) / "fixtures";
    fs::create_directories(dir);
    std::string stem = fs::path(xzPath).stem().string();
    fs::path out = dir / stem;
    // One process unpacks; the others wait on the lock and find the result.
    std::string lockPath = out.string() + ".lock";
    int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    bool fresh = fs::exists(out) && fs::last_write_time(out) >= fs::last_write_time(xzPath);
    if (!fresh) {
        std::string tmp = out.string() + ".part";
        std::string cmd = "xz -dc '" + xzPath + "' > '" + tmp + "'";
        if (std::system(cmd.c_str()) != 0) {
            if (lock >= 0) ::close(lock);
            throw std::runtime_error("cannot unpack " + xzPath + " (is xz installed?)");
        }
        fs::rename(tmp, out);
    }
    if (lock >= 0) ::close(lock);
    return out.string();
}

std::string fixtureImage(const std::string& name) {
    return unpackXz(sourceDir() + "/tests/fixtures/images/" + name + ".xz");
}

const nlohmann::json& formatsManifest() {
    static const nlohmann::json manifest =
        loadJson(sourceDir() + "/tests/fixtures/images/formats.manifest.json");
    return manifest;
}

std::string formatImage(const std::string& file) {
    for (const auto& image : formatsManifest()["images"]) {
        if (image["file"] != file) continue;
        std::string first;
        for (const auto& f : image["files"]) {
            std::string path = fixtureImage(f.get<std::string>());
            if (first.empty()) first = path;
        }
        return first;
    }
    throw std::runtime_error("no image " + file + " in formats.manifest.json");
}

std::string sharedCorpusFile(const std::string& relative) {
    fs::path p = fs::path(sourceDir()).parent_path() / "shared" / "corpus" / relative;
    return fs::exists(p) ? p.string() : std::string();
}

nlohmann::json loadJson(const std::string& path) {
    return nlohmann::json::parse(readFile(path));
}

namespace {
constexpr std::array<std::uint32_t, 64> kK = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

struct Sha256 {
    std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char block[64];
    std::size_t fill = 0;
    std::uint64_t total = 0;

    void compress() {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (std::uint32_t(block[4 * i]) << 24) | (block[4 * i + 1] << 16) |
                   (block[4 * i + 2] << 8) | block[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        auto v = h;
        for (int i = 0; i < 64; ++i) {
            std::uint32_t S1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
            std::uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
            std::uint32_t t1 = v[7] + S1 + ch + kK[i] + w[i];
            std::uint32_t S0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
            std::uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            std::uint32_t t2 = S0 + maj;
            v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
        }
        for (int i = 0; i < 8; ++i) h[i] += v[i];
    }
    void update(const unsigned char* p, std::size_t n) {
        total += n;
        while (n > 0) {
            std::size_t take = std::min(n, 64 - fill);
            std::memcpy(block + fill, p, take);
            fill += take;
            p += take;
            n -= take;
            if (fill == 64) {
                compress();
                fill = 0;
            }
        }
    }
    std::string hex() {
        std::uint64_t bits = total * 8;
        unsigned char pad = 0x80;
        update(&pad, 1);
        unsigned char zero = 0;
        while (fill != 56) update(&zero, 1);
        unsigned char len[8];
        for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        update(len, 8);
        char out[65];
        for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", h[i]);
        return std::string(out, 64);
    }
};
}  // namespace

std::string sha256Hex(const std::string& bytes) {
    Sha256 s;
    s.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return s.hex();
}

std::string sha256File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    Sha256 s;
    std::vector<char> buf(1 << 16);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        s.update(reinterpret_cast<const unsigned char*>(buf.data()),
                 static_cast<std::size_t>(in.gcount()));
    }
    return s.hex();
}

TempDir::TempDir() {
    fs::path base = fs::path(binaryDir()) / "tmp";
    fs::create_directories(base);
    std::string templ = (base / "t-XXXXXX").string();
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

pid_t startCli(const std::vector<std::string>& args, const std::string& outPath,
               const std::string& errPath) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> argv;
        std::string exe = VELLORINE_CLI;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

CliResult waitCli(pid_t pid, const std::string& outPath, const std::string& errPath) {
    CliResult r;
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

CliResult runCli(const std::vector<std::string>& args) {
    TempDir dir;
    std::string outPath = dir.file("out"), errPath = dir.file("err");
    return waitCli(startCli(args, outPath, errPath), outPath, errPath);
}

std::map<std::string, nlohmann::json> scanJsonByPath(const std::string& out,
                                                     std::int64_t unreadable) {
    std::map<std::string, nlohmann::json> lines;
    std::istringstream in(out);
    std::size_t items = 0;
    bool summarised = false;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        auto j = nlohmann::json::parse(line);
        if (j.value("type", "") == "summary") {
            EXPECT_EQ(j["items"].get<std::size_t>(), items);
            EXPECT_EQ(j["unreadable_sectors"].get<std::int64_t>(), unreadable);
            summarised = true;
            continue;
        }
        EXPECT_FALSE(summarised) << "item after the summary";
        ++items;
        lines[j["path"].get<std::string>()] = j;
    }
    EXPECT_TRUE(summarised);
    return lines;
}

std::map<std::string, int> entryPathCounts(const VolumeParser& parser, ItemData folder) {
    std::map<std::string, int> seen;
    std::function<void(ItemData, const std::string&)> walk = [&](ItemData f,
                                                                 const std::string& prefix) {
        parser.forEachChild(f, [&](ItemData child) {
            const std::string path = prefix + parser.entryName(child);
            ++seen[path];
            if (parser.isFolder(child)) walk(child, path + "/");
            return true;
        });
    };
    walk(folder, "");
    return seen;
}

}  // namespace vel::test
