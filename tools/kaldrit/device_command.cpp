// `kaldrit device`: the simulated device's descriptors, as a host reads them.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/core/utf16.h"
#include "sim/device/audio_device.h"
#include "sim/device/default_device.h"
#include "tools/kaldrit/command.h"
#include "tools/kaldrit/descriptor_tree.h"
#include "tools/kaldrit/enumeration.h"

namespace kaldrit {
namespace {

constexpr USHORT kEnglishUs = 0x0409;

// A string descriptor's text, from its UTF-16 bytes after the 2-byte header.
std::string StringText(const sim::StringTable& strings, UCHAR index) {
    const auto bytes = strings.Descriptor(index, kEnglishUs);
    if (!bytes || bytes->size() < 2) return "";
    const std::size_t length = std::min<std::size_t>((*bytes)[0], bytes->size());
    std::u16string text;
    for (std::size_t i = 2; i + 1 < length; i += 2) {
        text += static_cast<char16_t>((*bytes)[i] | ((*bytes)[i + 1] << 8));
    }
    return platform::Utf16ToUtf8(text);
}

}  // namespace

int RunDevice(std::span<const std::string_view> args) {
    auto speed = platform::UsbSpeed::kHigh;
    long driftPpm = 0;
    std::string pcapPath;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--speed") {
            if (i + 1 >= args.size()) return UsageError("device", "--speed needs hs or fs");
            const std::string_view value = args[++i];
            if (value == "hs") {
                speed = platform::UsbSpeed::kHigh;
            } else if (value == "fs") {
                speed = platform::UsbSpeed::kFull;
            } else {
                return UsageError("device",
                                  "--speed takes hs or fs, not '" + std::string(value) + "'");
            }
        } else if (arg == "--drift-ppm") {
            if (i + 1 >= args.size()) return UsageError("device", "--drift-ppm needs a value");
            const std::string value(args[++i]);
            char* end = nullptr;
            driftPpm = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || driftPpm < -10000 || driftPpm > 10000) {
                return UsageError(
                    "device",
                    "--drift-ppm takes a whole number from -10000 to 10000, not '" + value + "'");
            }
        } else if (arg == "--pcap") {
            if (i + 1 >= args.size()) return UsageError("device", "--pcap needs a file name");
            pcapPath = std::string(args[++i]);
        } else {
            return UsageError("device", "unknown option '" + std::string(arg) + "'");
        }
    }
    const sim::DeviceDescriptors descriptors = sim::default_device::Descriptors(speed);
    std::printf("Kaldrit Hi-Fi, simulated, at %s speed; device clock %+ld ppm from nominal\n\n",
                speed == platform::UsbSpeed::kHigh ? "high" : "full", driftPpm);
    const std::string tree =
        DescribeDevice(descriptors.device, descriptors.configuration,
                       [&](UCHAR index) { return StringText(descriptors.strings, index); });
    std::fwrite(tree.data(), 1, tree.size(), stdout);
    std::printf("\nSampling rates of the clock source (RANGE):");
    for (ULONG rate : sim::default_device::SampleRatesHz(speed)) std::printf(" %u", rate);
    std::printf(" Hz\n");
    if (pcapPath.empty()) return kExitOk;

    std::ofstream file(pcapPath, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "kaldrit device: cannot write '%s'\n", pcapPath.c_str());
        return kExitFailed;
    }
    sim::AudioDevice device(speed, static_cast<std::int32_t>(driftPpm));
    const EnumerationResult result = Enumerate(device, &file);
    file.close();
    if (!result.ok || !file) {
        std::fprintf(stderr, "kaldrit device: enumeration failed: %s\n",
                     result.ok ? "the capture could not be written" : result.error.c_str());
        return kExitFailed;
    }
    std::printf(
        "\nEnumerated over the simulated bus: %d control requests, done at %s;\n"
        "the traffic is in %s\n",
        result.requests, result.finishedAt.c_str(), pcapPath.c_str());
    return kExitOk;
}

}  // namespace kaldrit
