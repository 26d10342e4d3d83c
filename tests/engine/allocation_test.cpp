// A job allocates nothing on the heap: it runs for minutes on a device bench, and every path
// through it must behave the same on the thousandth run as on the first.
#include <gtest/gtest.h>

#include "tests/engine/dialogue.h"
#include "tests/support/allocation_counter.h"

namespace {

int32_t CountedJob(void* parameter) {
    CountAllocationsOnThisThread(true);
    const UpdateResult result = RunUpdateJob(parameter);
    CountAllocationsOnThisThread(false);
    return result;
}

TEST(Allocation, NoneDuringAWholeJob) {
    ResetAllocationCount();
    const std::string image = PatternBytes(5000, 2);
    {
        Dialogue d(image, nullptr, CountedJob);
        ASSERT_TRUE(d.Console());
        d.Send("C");
        d.AcceptBlocks(1029);
        d.Send("Done\r\n>");
        ASSERT_EQ(d.Result(), ResultSuccess);
    }
    {
        Dialogue d(image, nullptr, CountedJob);
        ASSERT_TRUE(d.Expect("\x1b\r\n"));
        d.Cancel();
        ASSERT_EQ(d.Result(), ResultCancelled);
    }
    EXPECT_EQ(AllocationCount(), 0);
}

}  // namespace
