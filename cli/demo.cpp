// tollan demo: faxes sent and received through the built-in fax line
// emulator, with no hardware and no configuration.
#include <cstdio>

#include "cli/common.h"

namespace {

void RunDemo() {
#ifndef TOLLAN_HAVE_SIM
    FailWith("this build has no fax line emulator");
#endif
}

}  // namespace

void AddDemoCommand(CLI::App &app) {
    CLI::App *c = app.add_subcommand("demo", "Send and receive faxes through the built-in fax line emulator");
    c->callback(RunDemo);
}
