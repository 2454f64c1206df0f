#include "platform/core/guid.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

constexpr GUID kAudioCategory = GuidLiteral("6994AD04-93EF-11D0-A3CC-00A0C9223196");

TEST(Guid, ParsesBothFormsInAnyCase) {
    const GUID want = {
        0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
    EXPECT_EQ(kAudioCategory, want);
    EXPECT_EQ(ParseGuid("{6994ad04-93ef-11d0-a3cc-00a0c9223196}"), want);
    EXPECT_EQ(ParseGuid("6994AD04-93EF-11D0-A3CC-00A0C9223196"), want);
}

TEST(Guid, RejectsMalformedText) {
    const char* bad[] = {
        "",
        "{6994AD04-93EF-11D0-A3CC-00A0C9223196",   // brace unclosed
        "6994AD04-93EF-11D0-A3CC-00A0C922319",     // a digit short
        "6994AD04-93EF-11D0-A3CC-00A0C92231961",   // a digit long
        "6994AD04_93EF-11D0-A3CC-00A0C9223196",    // wrong separator
        "6994AD0G-93EF-11D0-A3CC-00A0C9223196",    // not hex
        "(6994AD04-93EF-11D0-A3CC-00A0C9223196)",  // wrong brackets
    };
    for (const char* text : bad) EXPECT_FALSE(ParseGuid(text).has_value()) << text;
}

TEST(Guid, RegistryFormIsBracedUpperCaseAndRoundTrips) {
    const GUID lower = *ParseGuid("0000000a-000b-000c-0d0e-0f1011121314");
    EXPECT_EQ(GuidToRegistryString(lower), "{0000000A-000B-000C-0D0E-0F1011121314}");
    EXPECT_EQ(ParseGuid(GuidToRegistryString(kAudioCategory)), kAudioCategory);
    EXPECT_EQ(GuidToRegistryString(GUID_NULL), "{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, OrdersFieldByField) {
    const GUID a = *ParseGuid("00000001-0000-0000-0000-000000000000");
    const GUID b = *ParseGuid("00000000-0000-0000-0000-000000000001");
    EXPECT_LT(b, a);  // Data1 decides before Data4
    EXPECT_TRUE(IsEqualGUID(a, a));
    EXPECT_FALSE(IsEqualGUID(a, b));
}

}  // namespace
}  // namespace platform
