#include "platform/usb/usbd_helpers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/kernel_fixture.h"
#include "sim/device/default_device.h"
#include "sim/device/descriptor_builder.h"

namespace platform::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace dd = sim::default_device;
constexpr LONG kAny = -1;

// The bytes in a heap block of exactly their size, so the address sanitizer reports any
// read past the end; a vector's spare capacity would hide it.
class ExactBuffer {
  public:
    explicit ExactBuffer(const Bytes& bytes)
        : size_(bytes.size()), data_(new std::uint8_t[bytes.size()]) {
        std::memcpy(data_.get(), bytes.data(), bytes.size());
    }
    USB_CONFIGURATION_DESCRIPTOR* Config() {
        return reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(data_.get());
    }
    std::uint8_t* At(std::size_t offset) { return data_.get() + offset; }
    ULONG Size() const { return static_cast<ULONG>(size_); }
    // Offset of a descriptor found in the buffer, nullopt for null.
    std::optional<std::size_t> OffsetOf(const void* found) const {
        if (found == nullptr) return std::nullopt;
        return static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data_.get());
    }

  private:
    std::size_t size_;
    std::unique_ptr<std::uint8_t[]> data_;
};

struct Match {
    LONG number = kAny, alternate = kAny, cls = kAny, subclass = kAny, protocol = kAny;
};

USB_INTERFACE_DESCRIPTOR* Find(ExactBuffer& buffer, Match m, std::size_t start = 0,
                               std::optional<ULONG> bytes = std::nullopt) {
    return USBD_ParseConfigurationDescriptorEx(buffer.Config(), bytes.value_or(buffer.Size()),
                                               buffer.At(start), m.number, m.alternate, m.cls,
                                               m.subclass, m.protocol);
}

// ---- searching the default device's configuration ----

struct SearchCase {
    const char* what;
    Match match;
    bool found;
    UCHAR number = 0, alternate = 0;
};

class ParseDefaultDevice : public ::testing::TestWithParam<platform::UsbSpeed> {};

TEST_P(ParseDefaultDevice, FindsTheFirstMatchFromTheStart) {
    using namespace usb_audio;
    ExactBuffer config(dd::Descriptors(GetParam()).configuration);
    const SearchCase cases[] = {
        {"interface 0 alternate 0, the rest any", {.number = 0, .alternate = 0}, true, 0, 0},
        {"the last alternate of capture", {.number = 3, .alternate = 3}, true, 3, 3},
        {"alternate 'any' is the first listed", {.number = 2}, true, 2, 0},
        {"first streaming interface by class",
         {.cls = USB_DEVICE_CLASS_AUDIO, .subclass = AUDIOSTREAMING},
         true,
         2,
         0},
        {"HID by class", {.cls = USB_DEVICE_CLASS_HUMAN_INTERFACE}, true, 0, 0},
        {"AudioControl by protocol",
         {.cls = USB_DEVICE_CLASS_AUDIO, .protocol = IP_VERSION_02_00},
         true,
         1,
         0},
        {"no interface 4", {.number = 4, .alternate = 0}, false},
        {"no alternate 4", {.number = 2, .alternate = 4}, false},
        {"all fields must match", {.number = 1, .subclass = AUDIOSTREAMING}, false},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.what);
        USB_INTERFACE_DESCRIPTOR* found = Find(config, c.match);
        ASSERT_EQ(found != nullptr, c.found);
        if (!found) continue;
        EXPECT_EQ(found->bDescriptorType, USB_INTERFACE_DESCRIPTOR_TYPE);
        EXPECT_EQ(found->bInterfaceNumber, c.number);
        EXPECT_EQ(found->bAlternateSetting, c.alternate);
    }
}

// Restarting just past each match visits every interface descriptor once, in order:
// the walk is what a caller enumerating alternate settings relies on.
TEST_P(ParseDefaultDevice, RestartingAfterAMatchVisitsEveryInterfaceInOrder) {
    ExactBuffer config(dd::Descriptors(GetParam()).configuration);
    std::vector<std::string> seen;
    std::size_t start = 0;
    while (USB_INTERFACE_DESCRIPTOR* found = Find(config, {}, start)) {
        seen.push_back(std::to_string(found->bInterfaceNumber) + "." +
                       std::to_string(found->bAlternateSetting));
        start = *config.OffsetOf(found) + found->bLength;
        if (start >= config.Size()) break;
    }
    EXPECT_THAT(seen, ::testing::ElementsAre("0.0", "1.0", "2.0", "2.1", "2.2", "2.3", "3.0", "3.1",
                                             "3.2", "3.3"));
}

INSTANTIATE_TEST_SUITE_P(BothSpeeds, ParseDefaultDevice,
                         ::testing::Values(platform::UsbSpeed::kHigh, platform::UsbSpeed::kFull));

// ---- hostile descriptors ----

constexpr USB_CONFIGURATION_DESCRIPTOR kHead = {.bConfigurationValue = 1,
                                                .bmAttributes = USB_CONFIG_BUS_POWERED};

USB_INTERFACE_DESCRIPTOR Interface(UCHAR number, UCHAR alternate = 0) {
    return {.bInterfaceNumber = number,
            .bAlternateSetting = alternate,
            .bInterfaceClass = USB_DEVICE_CLASS_AUDIO};
}

// Interface 1 as raw bytes of `bLength`: cut short, or padded with zeros.
Bytes RawInterface1(UCHAR bLength = 9) {
    Bytes bytes = {bLength, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 0, USB_DEVICE_CLASS_AUDIO, 0, 0,
                   0};
    bytes.resize(bLength);
    return bytes;
}

struct HostileCase {
    const char* what;
    Bytes config;
    std::optional<ULONG> bytesGiven;      // default: the whole buffer
    std::optional<std::size_t> expected;  // offset of interface 1, or none
};

TEST(ParseHostileDescriptors, StaysInsideTheDescriptorAndTheBuffer) {
    const auto config = [] { return sim::ConfigurationBuilder(kHead).Interface(Interface(0)); };
    // Configuration header 9, interface 0 9: interface 1 would start at 18.
    const HostileCase cases[] = {
        {"well formed: found", config().Interface(Interface(1)).Build(), {}, 18},
        {"bLength 0 ends the walk instead of looping",
         config().Raw({0, 0x24}).Interface(Interface(1)).Build(),
         {},
         {}},
        {"bLength 1 ends the walk",
         config().Raw({1, 0x24}).Interface(Interface(1)).Build(),
         {},
         {}},
        {"a descriptor claiming more than is left ends the walk",
         config().Raw({200, 0x24, 0, 0}).Interface(Interface(1)).Build(),
         {},
         {}},
        {"an interface cut short by wTotalLength is not found",
         config().Interface(Interface(1)).TotalLength(18 + 5).Build(),
         {},
         {}},
        {"wTotalLength beyond the buffer: the buffer bounds the walk",
         config().Interface(Interface(1)).TotalLength(0xFFFF).Build(),
         {},
         18},
        {"bytes given fewer than wTotalLength: they bound the walk",
         config().Interface(Interface(1)).Build(),
         18 + 8,
         {}},
        {"a trailing odd byte is not read as a descriptor",
         config().Raw({USB_INTERFACE_DESCRIPTOR_TYPE}).Build(),
         {},
         {}},
        {"an interface descriptor shorter than 9 bytes is skipped",
         config().Raw(RawInterface1(5)).Raw(RawInterface1()).Build(),
         {},
         18 + 5},
        {"a longer interface descriptor still matches",
         config().Raw(RawInterface1(12)).Build(),
         {},
         18},
        {"fewer bytes than a configuration header", Bytes{9, 2, 9, 0, 1}, {}, {}},
        {"wTotalLength 0 leaves nothing to walk",
         config().Interface(Interface(1)).TotalLength(0).Build(),
         {},
         {}},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.what);
        ExactBuffer buffer(c.config);
        EXPECT_EQ(buffer.OffsetOf(Find(buffer, {.number = 1}, 0, c.bytesGiven)), c.expected);
    }
}

TEST(ParseHostileDescriptors, StartOutsideTheDescriptorFindsNothing) {
    Bytes bytes = sim::ConfigurationBuilder(kHead).Interface(Interface(0)).Build();
    ExactBuffer buffer(bytes);
    const LONG any = kAny;
    EXPECT_EQ(
        USBD_ParseConfigurationDescriptorEx(buffer.Config(), buffer.Size(),
                                            buffer.At(0) + buffer.Size(), any, any, any, any, any),
        nullptr);
    ExactBuffer elsewhere(bytes);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(buffer.Config(), buffer.Size(), elsewhere.At(9),
                                                  any, any, any, any, any),
              nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(buffer.Config(), buffer.Size(), nullptr, any, any,
                                                  any, any, any),
              nullptr);
}

// ---- building the select-configuration request ----

class CreateConfigurationRequest : public KernelTest {
  protected:
    // The alternate-0 descriptor of each interface, as a driver collects them, plus
    // the terminating entry.
    std::vector<USBD_INTERFACE_LIST_ENTRY> List(ExactBuffer& config,
                                                std::initializer_list<Match> matches) {
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (const Match& m : matches) {
            USB_INTERFACE_DESCRIPTOR* found = Find(config, m);
            EXPECT_NE(found, nullptr);
            list.push_back({found, nullptr});
        }
        list.push_back({nullptr, nullptr});
        return list;
    }
};

TEST_F(CreateConfigurationRequest, OneSizedBlockPerListedInterface) {
    RunOk([&] {
        ExactBuffer config(dd::Descriptors(platform::UsbSpeed::kHigh).configuration);
        // HID (1 endpoint), AudioControl (none), playback alternate 1 (data and
        // feedback), capture alternate 0 (none): blocks of 48, 24, 72 and 24 bytes.
        std::vector<USBD_INTERFACE_LIST_ENTRY> list = List(config, {{.number = 0, .alternate = 0},
                                                                    {.number = 1, .alternate = 0},
                                                                    {.number = 2, .alternate = 1},
                                                                    {.number = 3, .alternate = 0}});
        URB* urb = USBD_CreateConfigurationRequestEx(config.Config(), list.data());
        ASSERT_NE(urb, nullptr);

        const std::size_t head = offsetof(_URB_SELECT_CONFIGURATION, Interface);
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(urb->UrbHeader.Length, head + 48 + 24 + 72 + 24);
        EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config.Config());

        struct Expected {
            UCHAR number, alternate;
            ULONG pipes;
        };
        const Expected expected[] = {{0, 0, 1}, {1, 0, 0}, {2, 1, 2}, {3, 0, 0}};
        auto* next = reinterpret_cast<std::uint8_t*>(urb) + head;
        for (std::size_t i = 0; i < std::size(expected); ++i) {
            SCOPED_TRACE(i);
            USBD_INTERFACE_INFORMATION* info = list[i].Interface;
            ASSERT_EQ(reinterpret_cast<std::uint8_t*>(info), next) << "blocks follow each other";
            EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(expected[i].pipes));
            EXPECT_EQ(info->InterfaceNumber, expected[i].number);
            EXPECT_EQ(info->AlternateSetting, expected[i].alternate);
            EXPECT_EQ(info->NumberOfPipes, expected[i].pipes);
            for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
                EXPECT_EQ(info->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
                EXPECT_EQ(info->Pipes[p].PipeHandle, nullptr) << "the stack's to fill";
            }
            next += info->Length;
        }
        EXPECT_EQ(kernel_.pool().Counters(USBD_POOL_TAG).blocksOutstanding(), 1u);
        ExFreePool(urb);
    });
}

TEST_F(CreateConfigurationRequest, FailsWithoutPoolOrWhenTooLargeForAnUrb) {
    RunOk([&] {
        ExactBuffer config(dd::Descriptors(platform::UsbSpeed::kFull).configuration);
        std::vector<USBD_INTERFACE_LIST_ENTRY> list = List(config, {{.number = 0}});

        kernel_.pool().FailTag(USBD_POOL_TAG);
        EXPECT_EQ(USBD_CreateConfigurationRequestEx(config.Config(), list.data()), nullptr);
        kernel_.pool().ClearFailures();

        // Eleven interfaces of 255 endpoints each need more than 65535 bytes.
        USB_INTERFACE_DESCRIPTOR wide = Interface(0);
        wide.bNumEndpoints = 255;
        std::vector<USBD_INTERFACE_LIST_ENTRY> wideList(11, {&wide, nullptr});
        wideList.push_back({nullptr, nullptr});
        EXPECT_EQ(USBD_CreateConfigurationRequestEx(config.Config(), wideList.data()), nullptr);
        EXPECT_EQ(kernel_.pool().BlocksOutstanding(), 0u);
    });
}

}  // namespace
}  // namespace platform::testing
