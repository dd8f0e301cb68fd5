// vellorine-cli: the wizard's steps without a window.
#include <unistd.h>

#include <cstdio>

#include "cli/CliCommon.h"
#include "cli/Commands.h"

namespace {
bool isSubcommand(CLI::App& app, const std::string& name) {
    for (const CLI::App* sub : app.get_subcommands({}))
        if (sub->get_name() == name) return true;
    return false;
}
std::string commandLineText;
}  // namespace

namespace vel::cli {
void setCommandLine(int argc, char** argv) {
    commandLineText.clear();
    for (int i = 0; i < argc; ++i) commandLineText += (i ? " " : "") + std::string(argv[i]);
}
const std::string& commandLine() {
    return commandLineText;
}
}  // namespace vel::cli

int main(int argc, char** argv) {
    using namespace vel::cli;

    setCommandLine(argc, argv);
    // Listings run to tens of megabytes: a pipe or file gets them in large writes. The buffer
    // is given: without one the C library keeps its own block size and ignores the size asked.
    static char stdoutBuffer[1 << 20];
    if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, stdoutBuffer, _IOFBF, sizeof stdoutBuffer);
    CLI::App app{"Vellorine data recovery, command line", "vellorine-cli"};
    app.set_version_flag("--version", std::string("vellorine-cli ") + VELLORINE_VERSION);
    app.require_subcommand(1);
    addDrivesCommand(app);
    addVolumesCommand(app);
    addScanCommand(app);
    addSaveCommand(app);
    addSearchCommand(app);
    addCarveCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (argc > 1 && argv[1][0] != '-' && !isSubcommand(app, argv[1])) {
            std::fprintf(
                stderr,
                "vellorine-cli: unknown command '%s'\nRun with --help for more information.\n",
                argv[1]);
            return kUsage;
        }
        app.exit(e);
        return kUsage;
    } catch (const CliExit& e) {
        if (*e.what()) std::fprintf(stderr, "vellorine-cli: %s\n", e.what());
        return e.code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vellorine-cli: %s\n", e.what());
        return kFailed;
    }
    return kDone;
}
