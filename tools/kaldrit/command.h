// The subcommands of `kaldrit`: each has a name, a one-line summary, its usage text
// and a function that runs it with the arguments after its name.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace kaldrit {

// Exit codes: 0 success, 1 the work failed, 2 the command line was wrong.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Command {
    std::string_view name;
    std::string_view summary;
    std::string_view usage;  // the whole --help text after the summary
    int (*run)(std::span<const std::string_view> args);
};

std::span<const Command> Commands();

// Prints "kaldrit NAME: MESSAGE (try 'kaldrit NAME --help')" and gives kExitUsage.
int UsageError(std::string_view command, const std::string& message);
// True when `args` asks for help; prints the command's help then.
bool WantsHelp(const Command& command, std::span<const std::string_view> args);
void PrintHelp(const Command& command);

int RunVersion(std::span<const std::string_view> args);
int RunDemo(std::span<const std::string_view> args);
int RunDevice(std::span<const std::string_view> args);

}  // namespace kaldrit
