// What driver code includes: the kernel and the I/O manager.
#pragma once

#include "platform/io/build_request.h"
#include "platform/io/call_driver.h"
#include "platform/io/cancel.h"
#include "platform/io/device_object.h"
#include "platform/io/io_codes.h"
#include "platform/io/irp.h"
#include "platform/kernel/ntddk.h"
