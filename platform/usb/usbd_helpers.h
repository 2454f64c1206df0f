// The USBD library routines a client driver uses to find interfaces in a configuration
// descriptor and to build the select-configuration request from them.
//
// The configuration descriptor comes from the device, so nothing here trusts its
// lengths: every walk is bounded by the smaller of wTotalLength and the bytes the
// caller says it holds, and a descriptor whose bLength cannot be right ends the walk.
#pragma once

#include "platform/core/types.h"
#include "platform/kernel/pool.h"
#include "platform/usb/urb.h"
#include "platform/usb/usb_descriptors.h"

// Pool tag of the URBs USBD_CreateConfigurationRequestEx allocates.
inline constexpr ULONG USBD_POOL_TAG = PoolTag("USBD");

// The first interface descriptor at or after `startPosition` whose number, alternate
// setting, class, subclass and protocol match those given; -1 matches any value. Null
// when there is none, or when `startPosition` is not inside the descriptor.
// `bufferLength` is the number of bytes readable at `configurationDescriptor`; only the
// first min(wTotalLength, bufferLength) bytes are looked at.
// Any IRQL: it only reads the buffer.
USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor, ULONG bufferLength, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol);

// A select-configuration URB for the interfaces of `interfaceList` (ended by an entry
// with a null InterfaceDescriptor): one USBD_INTERFACE_INFORMATION per entry, in list
// order, sized for the descriptor's bNumEndpoints, with Length, InterfaceNumber,
// AlternateSetting and NumberOfPipes set and every pipe's MaximumTransferSize at
// USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE. Each entry's Interface is pointed at its block.
// The URB comes from non-paged pool (tag USBD_POOL_TAG) and is the caller's to free with
// ExFreePool; null when the pool has none to give or the request would not fit an URB's
// 16-bit Length.
// PASSIVE_LEVEL or APC_LEVEL.
URB* USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor,
                                       USBD_INTERFACE_LIST_ENTRY* interfaceList);
