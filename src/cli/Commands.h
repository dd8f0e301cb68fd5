#pragma once
#include <CLI/CLI.hpp>
#include <string>

#include "search/SearchPattern.h"

namespace vel::cli {

// Each subcommand registers itself; its callback throws CliExit for a non-zero exit.
void addDrivesCommand(CLI::App& app);
void addVolumesCommand(CLI::App& app);
void addScanCommand(CLI::App& app);
void addSaveCommand(CLI::App& app);
void addCarveCommand(CLI::App& app);
void addSearchCommand(CLI::App& app);

// --pattern and --ignore-case, for search and save.
void addPatternOptions(CLI::App& cmd, std::string& pattern, bool& ignoreCase);
// The compiled pattern; CliExit with the refusal for one the grammar does not take.
SearchPattern compilePattern(const std::string& pattern, bool ignoreCase);

// The command line as it was given, for reports.
void setCommandLine(int argc, char** argv);
const std::string& commandLine();

}  // namespace vel::cli
