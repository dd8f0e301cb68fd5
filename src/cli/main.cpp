// vellorine-cli: the wizard's steps without a window.
#include <cstdio>

#include "app/CKestrumApp.h"
#include "cli/CliCommon.h"
#include "cli/Commands.h"

int main(int argc, char** argv) {
    using namespace vel::cli;
    vel::CKestrumApp::instance().initialise();

    CLI::App app{"Vellorine data recovery, command line", "vellorine-cli"};
    app.set_version_flag("--version", std::string("vellorine-cli ") + VELLORINE_VERSION);
    app.require_subcommand(1);
    addDrivesCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
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
