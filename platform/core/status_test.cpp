#include "platform/core/status.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Status, ValuesAreTheWindowsOnes) {
    // A few codes whose values a device, a file or a peer could observe.
    EXPECT_EQ(static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES), 0xC000009Au);
    EXPECT_EQ(static_cast<ULONG>(STATUS_DEVICE_NOT_CONNECTED), 0xC000009Du);
    EXPECT_EQ(static_cast<ULONG>(STATUS_NO_MATCH), 0xC0000272u);
    EXPECT_EQ(STATUS_TIMEOUT, 0x102);
    EXPECT_EQ(static_cast<ULONG>(E_OUTOFMEMORY), 0x8007000Eu);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), static_cast<HRESULT>(0x80070002u));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
}

TEST(Status, SuccessIsNonNegative) {
    EXPECT_TRUE(NT_SUCCESS(STATUS_SUCCESS));
    EXPECT_TRUE(NT_SUCCESS(STATUS_PENDING));
    EXPECT_TRUE(NT_SUCCESS(STATUS_TIMEOUT));
    EXPECT_FALSE(NT_SUCCESS(STATUS_BUFFER_OVERFLOW));  // a warning, not a success
    EXPECT_FALSE(NT_SUCCESS(STATUS_CANCELLED));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(E_FAIL));
}

TEST(Status, NamesForMessages) {
    struct Case {
        std::string got;
        const char* want;
    } cases[] = {
        {NtStatusName(STATUS_SUCCESS), "STATUS_SUCCESS"},  // first of the names sharing 0
        {NtStatusName(STATUS_TIMEOUT), "STATUS_TIMEOUT"},
        {NtStatusName(STATUS_DEVICE_CONFIGURATION_ERROR), "STATUS_DEVICE_CONFIGURATION_ERROR"},
        {NtStatusName(static_cast<NTSTATUS>(0xC0DE0001)), "0xC0DE0001"},
        {HResultName(E_NOINTERFACE), "E_NOINTERFACE"},
        {HResultName(static_cast<HRESULT>(0x8007FFFF)), "0x8007FFFF"},
        {Win32ErrorName(ERROR_MORE_DATA), "ERROR_MORE_DATA"},
        {Win32ErrorName(4242), "4242"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want);

    std::ostringstream out;
    out << Nt{STATUS_NOT_SUPPORTED} << " " << Hr{E_INVALIDARG};
    EXPECT_EQ(out.str(), "STATUS_NOT_SUPPORTED E_INVALIDARG");
}

}  // namespace
}  // namespace platform
