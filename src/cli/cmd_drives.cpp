#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/CliCommon.h"
#include "cli/Commands.h"
#include "device/DriveEnumeration.h"

namespace vel::cli {

void addDrivesCommand(CLI::App& app) {
    auto* cmd = app.add_subcommand("drives", "List physical drives and mounted volumes");
    auto json = std::make_shared<bool>(false);
    auto images = std::make_shared<std::vector<std::string>>();
    cmd->add_flag("--json", *json, "JSON output");
    cmd->add_option("IMAGE", *images, "Disk images to list after the drives (any format)");
    cmd->callback([json, images] {
        for (const std::string& path : *images) {
            PhysicalDrive image;
            std::string error;
            if (!addImageDrive(path, image, &error)) throw CliExit(kUsage, "cannot read " + error);
            for (const std::string& problem : image.image.problems)
                std::fprintf(stderr, "vellorine-cli: %s\n", problem.c_str());
        }
        auto drives = enumeratePhysicalDrives();
        auto volumes = enumerateMountedVolumes();
        if (drives.empty() && volumes.empty())
            std::fprintf(
                stderr,
                "vellorine-cli: no drive or volume could be opened for reading (raw devices "
                "need root); disk images can be given as SOURCE directly\n");
        if (*json) {
            nlohmann::json out;
            out["volumes"] = nlohmann::json::array();
            for (auto it = volumes.rbegin(); it != volumes.rend(); ++it) {
                out["volumes"].push_back({{"text", it->rootPath},
                                          {"fileSystem", it->fileSystem},
                                          {"rootPath", it->rootPath},
                                          {"devicePath", it->devicePath},
                                          {"sizeText", it->sizeText},
                                          {"startSector", it->startSector}});
            }
            out["physical_drives"] = nlohmann::json::array();
            for (const auto& d : drives) {
                out["physical_drives"].push_back({{"number", d.number},
                                                  {"text", d.text},
                                                  {"devicePath", d.devicePath},
                                                  {"format", d.image.format},
                                                  {"media_size", d.image.mediaSize}});
            }
            std::printf("%s\n", out.dump(2).c_str());
            return;
        }
        std::printf("     VOLUMES:\n");
        for (auto it = volumes.rbegin(); it != volumes.rend(); ++it)
            std::printf("  %-24s %-8s %12s  %s\n", it->rootPath.c_str(), it->fileSystem.c_str(),
                        it->sizeText.c_str(), it->devicePath.c_str());
        std::printf("     PHYSICAL DRIVES:\n");
        for (const auto& d : drives)
            std::printf("  %2d  %-40s %-10s %10s  %s\n", d.number, d.text.c_str(),
                        d.image.format.c_str(), imageSizeText(d.image.mediaSize).c_str(),
                        d.devicePath.c_str());
    });
}

}  // namespace vel::cli
