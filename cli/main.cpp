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
    CLI11_PARSE(app, argc, argv);
    return 0;
}
