#include "sim/device/wav_writer.h"

#include <fstream>

namespace sim {
namespace {

constexpr std::uint16_t kWaveFormatPcm = 1;
constexpr std::uint32_t kFmtChunkBytes = 16;

void Put(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutTag(std::vector<std::uint8_t>& out, const char (&tag)[5]) {
    out.insert(out.end(), tag, tag + 4);
}

}  // namespace

std::vector<std::uint8_t> WavBytes(const WavFormat& format, std::span<const std::uint8_t> samples) {
    const bool widthOk =
        format.bitsPerSample == 16 || format.bitsPerSample == 24 || format.bitsPerSample == 32;
    const std::uint32_t blockAlign = format.channels * (format.bitsPerSample / 8u);
    if (!widthOk || format.channels == 0 || samples.size() % blockAlign != 0) return {};
    const auto dataBytes = static_cast<std::uint32_t>(samples.size());
    const std::uint32_t padBytes = dataBytes % 2;

    std::vector<std::uint8_t> out;
    out.reserve(44 + dataBytes + padBytes);
    PutTag(out, "RIFF");
    Put(out, 4 + (8 + kFmtChunkBytes) + (8 + dataBytes + padBytes), 4);  // bytes after this field
    PutTag(out, "WAVE");
    PutTag(out, "fmt ");
    Put(out, kFmtChunkBytes, 4);
    Put(out, kWaveFormatPcm, 2);
    Put(out, format.channels, 2);
    Put(out, format.rateHz, 4);
    Put(out, format.rateHz * blockAlign, 4);  // bytes per second
    Put(out, blockAlign, 2);
    Put(out, format.bitsPerSample, 2);
    PutTag(out, "data");
    Put(out, dataBytes, 4);
    out.insert(out.end(), samples.begin(), samples.end());
    if (padBytes != 0) out.push_back(0);
    return out;
}

bool WriteWavFile(const std::string& path, const WavFormat& format,
                  std::span<const std::uint8_t> samples) {
    const std::vector<std::uint8_t> bytes = WavBytes(format, samples);
    if (bytes.empty()) return false;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

}  // namespace sim
