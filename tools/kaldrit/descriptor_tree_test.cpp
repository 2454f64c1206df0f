#include "tools/kaldrit/descriptor_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "sim/device/default_device.h"

namespace kaldrit {
namespace {

std::string NoStrings(UCHAR) {
    return "";
}

// A configuration: its 9-byte header (wTotalLength = `total`), then `body`.
std::vector<std::uint8_t> Configuration(const std::vector<std::uint8_t>& body, int total = -1) {
    const std::size_t length = total < 0 ? 9 + body.size() : static_cast<std::size_t>(total);
    std::vector<std::uint8_t> bytes(9 + body.size());
    const std::uint8_t header[9] = {9,
                                    2,
                                    static_cast<std::uint8_t>(length & 0xFF),
                                    static_cast<std::uint8_t>(length >> 8),
                                    1,
                                    1,
                                    0,
                                    0x80,
                                    50};
    std::copy(std::begin(header), std::end(header), bytes.begin());
    std::copy(body.begin(), body.end(), bytes.begin() + 9);
    return bytes;
}

TEST(DescriptorTree, TheDefaultDeviceReadsWithItsStringsAndEveryEntity) {
    const sim::DeviceDescriptors d = sim::default_device::Descriptors(platform::UsbSpeed::kHigh);
    const std::string tree = DescribeDevice(
        d.device, d.configuration, [](UCHAR index) { return "string" + std::to_string(index); });
    for (const char* expected :
         {"idVendor             0x2e4a", "idProduct            0x7a31",
          "iProduct             2 string2", "(FEATURE_UNIT)", "bmaControls(2)", "(SELECTOR_UNIT)",
          "baSourceID(1)", "(CLOCK_SOURCE)", "(FORMAT_TYPE)", "bBitResolution       24", "EP 1 OUT",
          "EP 1 IN", "Transfer Type Isochronous, Synch Type None, Usage Type Feedback",
          "Transfer Type Isochronous, Synch Type Asynchronous, Usage Type Data"}) {
        EXPECT_NE(tree.find(expected), std::string::npos) << expected << "\n" << tree;
    }
    EXPECT_EQ(tree.find("malformed"), std::string::npos) << tree;
    EXPECT_EQ(tree.find("missing"), std::string::npos) << tree;
}

TEST(DescriptorTree, HostileLengthsStopTheWalkWithANote) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> configuration;
        const char* note;
    } cases[] = {
        {"bLength 0 would loop", Configuration({0, 4, 1, 2, 3}),
         "malformed descriptor at offset 9: bLength 0"},
        {"bLength 1", Configuration({1, 4}), "malformed descriptor at offset 9: bLength 1"},
        {"overruns wTotalLength", Configuration({9, 4, 0, 0, 0, 1, 1, 0x20, 0}, 14),
         "bLength 9 with 5 bytes left"},
        {"wTotalLength beyond the bytes present", Configuration({9, 4, 0, 0}, 400),
         "bLength 9 with 4 bytes left"},
    };
    const std::vector<std::uint8_t> device(18, 0);
    for (const Case& c : cases) {
        const std::string tree = DescribeDevice(device, c.configuration, NoStrings);
        EXPECT_NE(tree.find(c.note), std::string::npos) << c.what << "\n" << tree;
    }
}

TEST(DescriptorTree, CountsBeyondTheDescriptorAreNotRead) {
    // A selector claiming 200 input pins in a 7-byte descriptor, and a truncated device
    // descriptor: fields past the end are reported missing, never read.
    const std::vector<std::uint8_t> body = {9, 4,    1, 0, 0,   1, 1, 0x20, 0,  // AudioControl
                                            7, 0x24, 5, 5, 200, 3, 4};  // selector, 200 pins
    const std::vector<std::uint8_t> device = {18, 1, 0x00, 0x02};
    const std::string tree = DescribeDevice(device, Configuration(body), NoStrings);
    EXPECT_NE(tree.find("baSourceID(1)"), std::string::npos) << tree;
    EXPECT_EQ(tree.find("baSourceID(2)"), std::string::npos) << tree;
    EXPECT_NE(tree.find("bmControls           (missing"), std::string::npos) << tree;
    EXPECT_NE(tree.find("bDeviceClass         (missing"), std::string::npos) << tree;
}

}  // namespace
}  // namespace kaldrit
