#include <cstdio>

#include "tools/kaldrit/command.h"

#ifndef KALDRIT_VERSION
#define KALDRIT_VERSION "0.0.0"
#endif

namespace kaldrit {

int RunVersion(std::span<const std::string_view> args) {
    if (!args.empty()) {
        return UsageError("version", "unexpected argument '" + std::string(args.front()) + "'");
    }
    std::printf("kaldrit %s\n", KALDRIT_VERSION);
    return kExitOk;
}

}  // namespace kaldrit
