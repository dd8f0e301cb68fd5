#pragma once
#include <sys/types.h>
#include <cstdint>
#include <map>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "scan/VolumeParser.h"

namespace vel::test {

std::string sourceDir();
std::string binaryDir();

// Unpacks tests/fixtures/images/NAME.xz once into the build folder and returns the path of the
// result. Parallel test processes share the one copy.
std::string fixtureImage(const std::string& name);
// An image of tests/fixtures/images/formats.manifest.json by its first file ("formats-ntfs.E01"):
// every file of it unpacked beside the others, and the path of the first.
std::string formatImage(const std::string& file);
// That manifest.
const nlohmann::json& formatsManifest();
// Same for any .xz file.
std::string unpackXz(const std::string& xzPath);
// A file under ../shared/corpus, or "" when shared/ is not beside the checkout.
std::string sharedCorpusFile(const std::string& relative);

nlohmann::json loadJson(const std::string& path);
std::string sha256Hex(const std::string& bytes);
std::string sha256File(const std::string& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// A fresh folder under the build tree, removed with its contents at the end of the scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

struct CliResult {
    int exitCode = -1;
    std::string out, err;
};
// Runs vellorine-cli with the arguments and collects its output.
CliResult runCli(const std::vector<std::string>& args);
// The same in two steps, for tests that act on the running process: its stdout and stderr go to
// the two files.
pid_t startCli(const std::vector<std::string>& args, const std::string& outPath,
               const std::string& errPath);
CliResult waitCli(pid_t pid, const std::string& outPath, const std::string& errPath);

// The items of `scan --json` output by path. The closing summary line must count them and say
// how many sectors were unreadable (unreadable, when given).
std::map<std::string, nlohmann::json> scanJsonByPath(const std::string& out,
                                                     std::int64_t unreadable = 0);

// Every path below folder in the parser's own records ("a/b.txt"), with how often it is listed.
std::map<std::string, int> entryPathCounts(const VolumeParser& parser, ItemData folder);

}  // namespace vel::test
