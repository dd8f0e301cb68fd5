#pragma once
#include <CLI/CLI.hpp>
#include <string>

namespace vel::cli {

// Each subcommand registers itself; its callback throws CliExit for a non-zero exit.
void addDrivesCommand(CLI::App& app);
void addVolumesCommand(CLI::App& app);
void addScanCommand(CLI::App& app);
void addSaveCommand(CLI::App& app);

// The command line as it was given, for reports.
void setCommandLine(int argc, char** argv);
const std::string& commandLine();

}  // namespace vel::cli
