// A job allocates nothing on the heap: it runs for minutes on a device bench, and every path
// through it must behave the same on the thousandth run as on the first.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "dialogue.h"

namespace {
thread_local bool counting = false;
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting) allocations.fetch_add(1);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

int32_t CountedJob(void* parameter) {
    counting = true;
    const UpdateResult result = RunUpdateJob(parameter);
    counting = false;
    return result;
}

TEST(Allocation, NoneDuringAWholeJob) {
    allocations = 0;
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
    EXPECT_EQ(allocations.load(), 0);
}

}  // namespace
