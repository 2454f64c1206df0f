#include "platform/core/trace.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Trace, DbgPrintGoesToTheCurrentTraceWithItsPrefix) {
    Trace trace;
    trace.SetPrefix([] { return std::string("[t] "); });
    {
        Trace::Scope scope(trace);
        DbgPrint("rate %d Hz\n", 44100);
    }
    DbgPrint("outside");  // goes to the process-wide trace, not this one
    ASSERT_EQ(trace.Lines().size(), 1u);
    EXPECT_EQ(trace.Lines()[0], "[t] rate 44100 Hz");
    EXPECT_TRUE(trace.Contains("44100"));
    EXPECT_FALSE(trace.Contains("outside"));
    EXPECT_TRUE(Trace::Current().Contains("outside"));
}

}  // namespace
}  // namespace platform
