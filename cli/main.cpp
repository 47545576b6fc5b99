// tollan: send, receive and convert faxes from the command line.
#include <CLI/CLI.hpp>

#include "cli/common.h"
#include "tollan.h"

int main(int argc, char **argv) {
    CLI::App app{"tollan " TOLLAN_VERSION ": send, receive and convert faxes through fax modems"};
    app.require_subcommand(1);
    app.set_version_flag("--version", TOLLAN_VERSION);
    AddSendCommand(app);
    AddReceiveCommand(app);
    AddConvertCommands(app);
    AddDemoCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError &failed) {
        return failed.get_exit_code();  // the failure has been reported in words
    } catch (const CLI::ParseError &usage) {
        return app.exit(usage) == 0 ? 0 : 2;
    }
    return 0;
}
