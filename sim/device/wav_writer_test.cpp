#include "sim/device/wav_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace sim {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

TEST(WavWriterTest, WritesCanonicalPcmHeaderAndData) {
    // Two frames of 16-bit stereo at 44100 Hz.
    const std::vector<std::uint8_t> samples = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<std::uint8_t> expected = {
        'R',  'I',  'F', 'F', 44,  0,   0,   0,                       // 36 + 8 data bytes follow
        'W',  'A',  'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0,  // PCM
        2,    0,                                                      // channels
        0x44, 0xAC, 0,   0,                                           // 44100 Hz
        0x10, 0xB1, 2,   0,                                           // 176400 bytes per second
        4,    0,                                                      // block align
        16,   0,                                                      // bits per sample
        'd',  'a',  't', 'a', 8,   0,   0,   0,   1,  2, 3, 4, 5, 6, 7, 8,
    };
    EXPECT_THAT(WavBytes({.channels = 2, .rateHz = 44100, .bitsPerSample = 16}, samples),
                ElementsAreArray(expected));
}

TEST(WavWriterTest, PadsOddDataAndRefusesWhatItCannotDescribe) {
    const std::vector<std::uint8_t> oneMono24 = {0xAA, 0xBB, 0xCC};
    const std::vector<std::uint8_t> file =
        WavBytes({.channels = 1, .rateHz = 48000, .bitsPerSample = 24}, oneMono24);
    ASSERT_EQ(file.size(), 44u + 3 + 1);
    EXPECT_EQ(file[4], 36 + 3 + 1);  // RIFF size counts the pad byte
    EXPECT_EQ(file[40], 3);          // the data chunk does not
    EXPECT_EQ(file.back(), 0);

    EXPECT_THAT(WavBytes({.channels = 2, .rateHz = 48000, .bitsPerSample = 8}, oneMono24),
                IsEmpty());
    EXPECT_THAT(WavBytes({.channels = 2, .rateHz = 48000, .bitsPerSample = 16}, oneMono24),
                IsEmpty());  // not whole frames
}

}  // namespace
}  // namespace sim
