// The USB bus interface: a table of functions the USB stack gives a client driver that
// asks for it by USB_BUS_INTERFACE_USBDI_GUID (IRP_MN_QUERY_INTERFACE, with the size and
// version it wants). The host controller fills it; BusContext is the first argument of
// every function and stays valid until InterfaceDereference has balanced every
// reference. Version 1 is version 0 with IsDeviceHighSpeed appended, so a version 1
// table can be read as a version 0 one.
#pragma once

#include "platform/core/guid.h"
#include "platform/core/status.h"
#include "platform/core/types.h"
#include "platform/io/irp.h"
#include "platform/usb/urb.h"

inline constexpr GUID USB_BUS_INTERFACE_USBDI_GUID =
    platform::GuidLiteral("B1A96A13-3DE0-4574-9B01-C08FEAB318D6");

inline constexpr USHORT USB_BUSIF_USBDI_VERSION_0 = 0;
inline constexpr USHORT USB_BUSIF_USBDI_VERSION_1 = 1;

// USBDI_Version: the stack's interface version; Supported_USB_Version: the highest
// USB specification release the controller supports, as a BCD (0x0200 for USB 2.0).
struct USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
};
using PUSBD_VERSION_INFORMATION = USBD_VERSION_INFORMATION*;

// Any IRQL up to DISPATCH_LEVEL, all of them.
using PUSB_BUSIFFN_GETUSBDI_VERSION = void (*)(PVOID BusContext,
                                               PUSBD_VERSION_INFORMATION VersionInformation,
                                               ULONG* HcdCapabilities);
// The current USB frame number (1 ms frames, also at high speed).
using PUSB_BUSIFFN_QUERY_BUS_TIME = NTSTATUS (*)(PVOID BusContext, ULONG* CurrentUsbFrame);
// Sends an isochronous OUT URB without an IRP; completes before it returns.
using PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB = NTSTATUS (*)(PVOID BusContext, URB* Urb);
using PUSB_BUSIFFN_QUERY_BUS_INFORMATION = NTSTATUS (*)(PVOID BusContext, ULONG Level,
                                                        PVOID BusInformationBuffer,
                                                        ULONG* BusInformationBufferLength,
                                                        ULONG* BusInformationActualLength);
using PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED = BOOLEAN (*)(PVOID BusContext);

struct USB_BUS_INTERFACE_USBDI_V0 {
    USHORT Size;  // bytes of the table the caller provided
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
};

struct USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
};

// Version 1 extends version 0 in place.
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, QueryBusInformation) ==
              offsetof(USB_BUS_INTERFACE_USBDI_V0, QueryBusInformation));
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) ==
              sizeof(USB_BUS_INTERFACE_USBDI_V0) + sizeof(PVOID));
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
#endif
