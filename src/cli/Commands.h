#pragma once
#include <CLI/CLI.hpp>

namespace vel::cli {

// Each subcommand registers itself; its callback throws CliExit for a non-zero exit.
void addDrivesCommand(CLI::App& app);
void addVolumesCommand(CLI::App& app);
void addScanCommand(CLI::App& app);
void addSaveCommand(CLI::App& app);
void addCarveCommand(CLI::App& app);

}  // namespace vel::cli
