// What driver code includes: the kernel routines and types of the simulated Windows
// kernel.
#pragma once

#include "platform/core/guid.h"
#include "platform/core/status.h"
#include "platform/core/trace.h"
#include "platform/core/types.h"
#include "platform/core/utf16.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/interlocked.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/list_entry.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/ref_object.h"
#include "platform/kernel/spin_lock.h"
#include "platform/kernel/system_thread.h"
