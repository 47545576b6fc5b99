// tollan: send, receive and convert faxes from the command line.
#include <CLI/CLI.hpp>
#include <cstring>

#include "cli/common.h"
#include "tollan.h"

namespace {

// The subcommands, in the order --help lists them, and what adds each group.
struct CommandGroup {
    const char *names[3];
    void (*add)(CLI::App &app);
};
constexpr CommandGroup kCommandGroups[] = {
    {{"send"}, AddSendCommand},
    {{"receive"}, AddReceiveCommand},
    {{"convert", "rotate", "info"}, AddConvertCommands},
    {{"demo"}, AddDemoCommand},
};

// The group that names word, or null.
const CommandGroup *GroupNaming(const char *word) {
    for (const CommandGroup &group : kCommandGroups)
        for (const char *name : group.names)
            if (name && strcmp(name, word) == 0) return &group;
    return nullptr;
}

// Building every subcommand's options costs more than most commands do:
// when the first word names a subcommand and no later one names another,
// only its group is built; "--version" alone needs none. Otherwise (--help,
// a mistake) all of them are, so that help and errors list everything.
void AddCommands(CLI::App &app, int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--version") == 0) return;
    const CommandGroup *named = argc > 1 ? GroupNaming(argv[1]) : nullptr;
    for (int i = 2; named && i < argc; ++i)
        if (GroupNaming(argv[i])) named = nullptr;
    for (const CommandGroup &group : kCommandGroups)
        if (!named || named == &group) group.add(app);
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"tollan " TOLLAN_VERSION ": send, receive and convert faxes through fax modems"};
    app.require_subcommand(1);
    app.set_version_flag("--version", TOLLAN_VERSION);
    AddCommands(app, argc, argv);
    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError &failed) {
        return failed.get_exit_code();  // the failure has been reported in words
    } catch (const CLI::ParseError &usage) {
        return app.exit(usage) == 0 ? 0 : 2;
    }
    return 0;
}
