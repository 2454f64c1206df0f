// kaldrit: drives a simulated Windows machine with the package installed and the
// device plugged in, from the shell.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tools/kaldrit/command.h"

namespace kaldrit {
namespace {

void PrintOverview() {
    std::printf(
        "usage: kaldrit COMMAND [OPTIONS]\n"
        "\n"
        "Runs the Kaldrit Hi-Fi driver package on a simulated Windows machine, on\n"
        "deterministic virtual time.\n"
        "\n"
        "commands:\n");
    for (const Command& command : Commands()) {
        std::printf("  %-10s %.*s\n", std::string(command.name).c_str(),
                    static_cast<int>(command.summary.size()), command.summary.data());
    }
    std::printf("\n'kaldrit COMMAND --help' tells more about a command.\n");
}

}  // namespace
}  // namespace kaldrit

int main(int argc, char** argv) {
    using namespace kaldrit;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty()) {
        PrintOverview();
        return kExitUsage;
    }
    const std::string_view name = args.front();
    if (name == "--help" || name == "-h" || name == "help") {
        if (name == "help" && args.size() > 1) {
            for (const Command& command : Commands()) {
                if (command.name == args[1]) {
                    PrintHelp(command);
                    return kExitOk;
                }
            }
            std::fprintf(stderr, "kaldrit: no command '%s' (try 'kaldrit --help')\n",
                         std::string(args[1]).c_str());
            return kExitUsage;
        }
        PrintOverview();
        return kExitOk;
    }
    if (name == "--version") return RunVersion({});
    for (const Command& command : Commands()) {
        if (command.name != name) continue;
        const std::span<const std::string_view> rest(args.data() + 1, args.size() - 1);
        if (WantsHelp(command, rest)) return kExitOk;
        return command.run(rest);
    }
    if (name.starts_with("-")) {
        std::fprintf(stderr, "kaldrit: unknown option '%s' (try 'kaldrit --help')\n",
                     std::string(name).c_str());
    } else {
        std::fprintf(stderr, "kaldrit: unknown command '%s' (try 'kaldrit --help')\n",
                     std::string(name).c_str());
    }
    return kExitUsage;
}
