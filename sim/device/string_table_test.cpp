#include "sim/device/string_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing::Optional;

TEST(StringTable, LanguageListIsDescriptorZeroWhateverLanguageIsAsked) {
    StringTable strings;
    strings.SetLanguages({0x0409, 0x0407});
    const Bytes want = {6, 3, 0x09, 0x04, 0x07, 0x04};
    EXPECT_THAT(strings.Descriptor(0, 0), Optional(want));
    EXPECT_THAT(strings.Descriptor(0, 0x0409), Optional(want));
}

TEST(StringTable, StringsAreUtf16LittleEndianPerLanguage) {
    StringTable strings;
    strings.SetLanguages({0x0409});
    strings.Set(1, 0x0409, u"Br\u00E9");
    EXPECT_THAT(strings.Descriptor(1, 0x0409), Optional(Bytes{8, 3, 'B', 0, 'r', 0, 0xE9, 0}));

    // What the device has no descriptor for, it stalls.
    EXPECT_EQ(strings.Descriptor(1, 0x0407), std::nullopt);  // other language
    EXPECT_EQ(strings.Descriptor(2, 0x0409), std::nullopt);  // other index
}

TEST(StringTable, LongTextIsCutToWhatOneLengthByteCounts) {
    StringTable strings;
    strings.Set(1, 0x0409, std::u16string(200, u'x'));
    const Bytes bytes = *strings.Descriptor(1, 0x0409);
    EXPECT_EQ(bytes.size(), 254u);  // 2 + 2 * 126
    EXPECT_EQ(bytes[0], 254);
}

TEST(StringTable, RawBytesStandAsGiven) {
    StringTable strings;
    strings.SetLanguages({0x0409});
    strings.SetRaw(3, 0x0409, {0, 3});  // bLength 0
    strings.SetRaw(0, 0x0409, {2, 3});  // an empty language list
    EXPECT_THAT(strings.Descriptor(3, 0x0409), Optional(Bytes{0, 3}));
    EXPECT_THAT(strings.Descriptor(0, 0), Optional(Bytes{2, 3}));
}

TEST(StringTable, DeviceWithoutLanguagesHasNoStrings) {
    StringTable strings;
    EXPECT_EQ(strings.Descriptor(0, 0), std::nullopt);
}

}  // namespace
}  // namespace sim
