#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/System.h"
#include "platform/Thread.h"

namespace platform {
namespace {

TEST(EventTest, AutoResetReleasesOneWaitAndClears) {
    Event e(Event::Reset::Auto);
    EXPECT_EQ(e.wait(0), kWaitTimeout);
    e.set();
    EXPECT_EQ(e.wait(0), kWaitObject0);
    EXPECT_EQ(e.wait(0), kWaitTimeout);
}

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
    Event e(Event::Reset::Manual);
    e.set();
    EXPECT_EQ(e.wait(0), kWaitObject0);
    EXPECT_EQ(e.wait(0), kWaitObject0);
    e.reset();
    EXPECT_EQ(e.wait(10), kWaitTimeout);
}

TEST(EventTest, WaitTimesOutAfterRoughlyItsLimit) {
    Event e;
    const auto start = tickCountMs();
    EXPECT_EQ(e.wait(50), kWaitTimeout);
    EXPECT_GE(tickCountMs() - start, 45u);
}

TEST(EventTest, WaitAnyReportsTheSignalledIndexAndConsumesOnlyIt) {
    Event a, b, c;
    c.set();
    b.set();
    EXPECT_EQ(Event::waitAny({&a, &b, &c}, 0), kWaitObject0 + 1);
    EXPECT_EQ(Event::waitAny({&a, &b, &c}, 0), kWaitObject0 + 2);
    EXPECT_EQ(Event::waitAny({&a, &b, &c}, 0), kWaitTimeout);
}

TEST(EventTest, SetFromAnotherThreadWakesAnInfiniteWait) {
    Event stop, data;
    std::thread t([&] {
        sleepMs(20);
        data.set();
    });
    EXPECT_EQ(Event::waitAny({&stop, &data}, kInfinite), kWaitObject0 + 1);
    t.join();
}

TEST(WorkerThreadTest, JoinWithTimeOutReportsAThreadThatHasNotEnded) {
    Event release(Event::Reset::Manual);
    WorkerThread worker;
    ASSERT_TRUE(worker.start([&] { release.wait(kInfinite); }));
    EXPECT_TRUE(worker.isRunning());
    EXPECT_FALSE(worker.start([] {}));
    EXPECT_FALSE(worker.join(30));
    release.set();
    EXPECT_TRUE(worker.join(2000));
    EXPECT_FALSE(worker.isRunning());
}

TEST(WorkerThreadTest, ARoutineCannotJoinItself) {
    WorkerThread worker;
    std::atomic<int> selfJoin{-1};
    worker.start([&] { selfJoin = worker.join(10) ? 1 : 0; });
    ASSERT_TRUE(worker.join(2000));
    EXPECT_EQ(selfJoin.load(), 0);
}

}  // namespace
}  // namespace platform
