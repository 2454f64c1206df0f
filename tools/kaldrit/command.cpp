#include "tools/kaldrit/command.h"

#include <cstdio>

namespace kaldrit {

std::span<const Command> Commands() {
    static const Command kCommands[] = {
        {"demo", "boot a simulated machine and show its virtual time and threads at work",
         "usage: kaldrit demo [--seconds S] [--stress-seed N]\n"
         "\n"
         "Boots a simulated machine and runs a few kernel threads on virtual time: a\n"
         "metronome, a producer and consumer handing work over through an event and a\n"
         "spin lock, and a 1 ms periodic timer. Prints what happened at which virtual\n"
         "time, and how little real time it took.\n"
         "\n"
         "options:\n"
         "  --seconds S       virtual seconds to run (default 2, at most 86400)\n"
         "  --stress-seed N   switch threads at random scheduling points from seed N\n",
         RunDemo},
        {"device", "print the simulated device's descriptors as a tree",
         "usage: kaldrit device [--speed hs|fs] [--drift-ppm N] [--pcap FILE]\n"
         "\n"
         "Prints the descriptors of the simulated Kaldrit Hi-Fi, field by field: the\n"
         "device, its configuration with the HID and audio interfaces, the audio\n"
         "control entities, the streaming alternate settings and their endpoints, and\n"
         "the sampling rates its clock source reports.\n"
         "\n"
         "options:\n"
         "  --speed hs|fs     high speed (default) or full speed\n"
         "  --drift-ppm N     the device clock's offset from nominal, in ppm (default 0)\n"
         "  --pcap FILE       also enumerate the device over the simulated bus and write\n"
         "                    the traffic to FILE (pcap, USB usbmon link type)\n",
         RunDevice},
        {"version", "print the package version", "usage: kaldrit version\n", RunVersion},
    };
    return kCommands;
}

int UsageError(std::string_view command, const std::string& message) {
    std::fprintf(stderr, "kaldrit %.*s: %s (try 'kaldrit %.*s --help')\n",
                 static_cast<int>(command.size()), command.data(), message.c_str(),
                 static_cast<int>(command.size()), command.data());
    return kExitUsage;
}

void PrintHelp(const Command& command) {
    std::printf("kaldrit %.*s: %.*s\n\n%.*s", static_cast<int>(command.name.size()),
                command.name.data(), static_cast<int>(command.summary.size()),
                command.summary.data(), static_cast<int>(command.usage.size()),
                command.usage.data());
}

bool WantsHelp(const Command& command, std::span<const std::string_view> args) {
    for (std::string_view arg : args) {
        if (arg == "--help" || arg == "-h") {
            PrintHelp(command);
            return true;
        }
    }
    return false;
}

}  // namespace kaldrit
