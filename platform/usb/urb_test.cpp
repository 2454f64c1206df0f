#include "platform/usb/urb.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace platform {
namespace {

TEST(VendorOrClassRequestType, FunctionAndDirectionGiveBmRequestType) {
    struct Case {
        USHORT function;
        ULONG flags;
        UCHAR reservedBits;
        UCHAR expected;
    };
    const Case cases[] = {
        // The audio class requests: interface and endpoint, each way.
        {URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, 0, 0x21},
        {URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0, 0xA1},
        {URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, 0, 0x22},
        {URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_IN, 0, 0xA2},
        {URB_FUNCTION_CLASS_DEVICE, USBD_TRANSFER_DIRECTION_IN, 0, 0xA0},
        {URB_FUNCTION_CLASS_OTHER, USBD_TRANSFER_DIRECTION_OUT, 0, 0x23},
        {URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0, 0x40},
        {URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 0, 0xC0},
        {URB_FUNCTION_VENDOR_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0, 0xC1},
        {URB_FUNCTION_VENDOR_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, 0, 0x42},
        {URB_FUNCTION_VENDOR_OTHER, USBD_TRANSFER_DIRECTION_IN, 0, 0xC3},
        // Only the direction bit of the flags counts.
        {URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0,
         0xA1},
        // Reserved bits land in bits 4..2 and cannot spill into type or recipient.
        {URB_FUNCTION_VENDOR_DEVICE, 0, 0x07, 0x5C},
        {URB_FUNCTION_VENDOR_DEVICE, 0, 0xFF, 0x5C},
        // Not a class or vendor request.
        {URB_FUNCTION_ISOCH_TRANSFER, USBD_TRANSFER_DIRECTION_IN, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "function 0x" << std::hex << c.function << " flags "
                                        << c.flags << " reserved " << int(c.reservedBits));
        EXPECT_EQ(UsbVendorOrClassRequestType(c.function, c.flags, c.reservedBits), c.expected);
    }
}

// A URB reused for another request must not carry a field over from the last one.
TEST(RequestBuilders, ClearWhatTheyDoNotSet) {
    alignas(URB) std::uint8_t storage[sizeof(URB) + 4 * sizeof(USBD_PIPE_INFORMATION)];
    auto* urb = reinterpret_cast<URB*>(storage);
    auto dirty = [&] { std::memset(storage, 0xCC, sizeof storage); };

    dirty();
    int buffer = 0;
    UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_ENDPOINT,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), USBD_TRANSFER_DIRECTION_IN,
                          0, 0x81, 0x0100, 0x0081, &buffer, nullptr, 3, nullptr);
    const _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& vendor = urb->UrbControlVendorClassRequest;
    EXPECT_EQ(vendor.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(vendor.Hdr.UsbdDeviceHandle, nullptr);
    EXPECT_EQ(vendor.Reserved1, 0);
    EXPECT_EQ(vendor.hca.Reserved8[0], nullptr);
    EXPECT_EQ(vendor.Request, 0x81);
    EXPECT_EQ(vendor.Value, 0x0100);
    EXPECT_EQ(vendor.Index, 0x0081);
    EXPECT_EQ(vendor.TransferBufferLength, 3u);

    dirty();
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 2, USB_LANGID_ENGLISH_US, &buffer,
                                 nullptr, 254, nullptr);
    const _URB_CONTROL_DESCRIPTOR_REQUEST& descriptor = urb->UrbControlDescriptorRequest;
    EXPECT_EQ(descriptor.Hdr.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(descriptor.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(descriptor.Reserved2, 0);
    EXPECT_EQ(descriptor.DescriptorType, USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(descriptor.Index, 2);
    EXPECT_EQ(descriptor.LanguageId, USB_LANGID_ENGLISH_US);

    // The interface information takes the rest of the URB: its Length follows the
    // request size for the pipe count, and the pipes start clear.
    dirty();
    const USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(2);
    UsbBuildSelectInterfaceRequest(urb, size, &buffer, 2, 3);
    const _URB_SELECT_INTERFACE& select = urb->UrbSelectInterface;
    EXPECT_EQ(select.Hdr.Length, size);
    EXPECT_EQ(select.Interface.Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(select.Interface.InterfaceNumber, 2);
    EXPECT_EQ(select.Interface.AlternateSetting, 3);
    EXPECT_EQ(select.Interface.NumberOfPipes, 0u);
    EXPECT_EQ(select.Interface.Pipes[1].MaximumTransferSize, 0u);
    EXPECT_EQ(storage[size], 0xCC) << "nothing written past the request";
}

TEST(UsbdStatus, KindsAndNames) {
    struct Case {
        USBD_STATUS status;
        bool success, pending, error;
        const char* name;
    };
    const Case cases[] = {
        {USBD_STATUS_SUCCESS, true, false, false, "USBD_STATUS_SUCCESS"},
        // Pending counts as success, not as an error; USBD_PENDING tells it apart.
        {USBD_STATUS_PENDING, true, true, false, "USBD_STATUS_PENDING"},
        {USBD_STATUS_STALL_PID, false, false, true, "USBD_STATUS_STALL_PID"},
        // Request errors (high bits 10) are errors too.
        {USBD_STATUS_INVALID_PARAMETER, false, false, true, "USBD_STATUS_INVALID_PARAMETER"},
        {USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, false, false, true,
         "USBD_STATUS_ISO_NOT_ACCESSED_BY_HW"},
        {static_cast<USBD_STATUS>(0xC0FF0000), false, false, true, "0xC0FF0000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(USBD_SUCCESS(c.status), c.success);
        EXPECT_EQ(USBD_PENDING(c.status), c.pending);
        EXPECT_EQ(USBD_ERROR(c.status), c.error);
        EXPECT_EQ(UsbdStatusName(c.status), c.name);
    }
}

}  // namespace
}  // namespace platform
