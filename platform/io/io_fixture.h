// A kernel test with an I/O manager beside the kernel.
#pragma once

#include "platform/io/io_manager.h"
#include "platform/io/wdm.h"
#include "platform/kernel/kernel_fixture.h"

namespace platform::testing {

class IoTest : public KernelTest {
  protected:
    IoTest() : io_(kernel_), ioScope_(io_) {}
    // Fibers still alive unwind while the I/O manager is current.
    ~IoTest() override { scheduler_.Shutdown(); }

    IoManager io_;
    IoManager::Scope ioScope_;
};

}  // namespace platform::testing
