// The shared worker thread: below-normal priority, a join that lets the worker's calls to the
// GUI thread through, and a start that fails without taking the program down.
#include "dialogs/WorkerThread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "dialogs/GuiThread.h"
#include "tests/dialogs/NoThreadStart.h"

namespace {

int OwnNice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); }

TEST(WorkerThread, RunsNicerAndJoinsThroughGuiCalls) {
  CWorkerThread worker;
  EXPECT_FALSE(worker.Running());
  std::atomic<int> workerNice{-100};
  std::atomic<bool> ranOnGui{false};
  const int ownNice = OwnNice();
  ASSERT_TRUE(worker.Start([&] {
    workerNice = OwnNice();
    // Waits for the GUI thread: a join that only waited would never return.
    fern::RunOnGuiThread([&] { ranOnGui = true; });
  }));
  worker.Join();
  EXPECT_TRUE(ranOnGui);
  EXPECT_FALSE(worker.Running());
  EXPECT_EQ(workerNice, std::min(ownNice + 5, 19));

  // A second start joins the first and runs again.
  std::atomic<int> runs{0};
  ASSERT_TRUE(worker.Start([&] { ++runs; }));
  ASSERT_TRUE(worker.Start([&] { ++runs; }));
  worker.Join();
  EXPECT_EQ(runs, 2);
}

TEST(WorkerThread, AStartThatFailsReturnsFalse) {
  CWorkerThread worker;
  std::atomic<bool> ran{false};
  bool started = true;
  {
    fern_test::NoThreadStart noThreads;
    if (!noThreads.Active()) GTEST_SKIP() << "the address space cannot be limited here (or the address sanitizer is on)";
    started = worker.Start([&] { ran = true; });
  }
  EXPECT_FALSE(started);
  EXPECT_FALSE(worker.Running());
  worker.Join();  // nothing to join
  EXPECT_FALSE(ran);
  // The worker is usable again once threads can be started.
  ASSERT_TRUE(worker.Start([&] { ran = true; }));
  worker.Join();
  EXPECT_TRUE(ran);
}

}  // namespace
