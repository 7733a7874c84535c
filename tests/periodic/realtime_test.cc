// PeriodicThread with a real-time priority that the process may not use: the
// fallback to normal scheduling, in a child process that has given up its
// privileges. The granted priority (SCHED_FIFO read back by the thread) and a
// thread left with normal scheduling are checked by the device's activation
// tests with the priority argument.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "periodic/periodic_thread.h"
#include "tests/support/console_capture.h"

namespace {

// Counts its cycles; the pause is 1 ms.
class CountingThread : public tmvz_periodic_thread::PeriodicThread {
 public:
  CountingThread() : PeriodicThread(1) {}
  ~CountingThread() override { stopAndJoin(); }
  void initMethod() override {}
  void cycleMethod() override { cycles.fetch_add(1); }
  // Waits (10 s guard) until n cycles ran.
  bool awaitCycles(int n) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (cycles.load() < n && std::chrono::steady_clock::now() < guard)
      std::this_thread::yield();
    return cycles.load() >= n;
  }
  std::atomic<int> cycles{0};
};

// Exit codes of the child below.
enum ChildExit { kFallbackOk = 0, kCannotDrop = 3, kStillFifo = 4, kWrongResult = 5 };

// In a child process without privileges (rtprio limit 0, and as root also
// user nobody): the request is refused, the thread runs with normal
// scheduling and cycles, and one INFO line says so.
int refusedInChild() {
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_RTPRIO, &none) != 0 ||
      (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)))
    return kCannotDrop;
  vorel_test::ConsoleCapture console;
  CountingThread thread;
  thread.setRealtimePriority(40, "Test worker");
  if (!thread.start(1000))
    return kWrongResult;
  if (thread.schedulingPolicy() == SCHED_FIFO)
    return kStillFifo;
  const bool ok = console.lines() ==
                      std::vector<std::string>{
                          "[INFO] Test worker: real-time priority 40 (SCHED_FIFO) "
                          "not permitted (Operation not permitted); the thread "
                          "runs with normal scheduling"} &&
                  thread.schedulingPolicy() == SCHED_OTHER && thread.awaitCycles(3);
  thread.stop(1000);
  return ok ? kFallbackOk : kWrongResult;
}

TEST(PeriodicThread, NotPermitted_InfoLineAndNormalSchedulingThreadRuns) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0)
    _exit(refusedInChild());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kCannotDrop)
    GTEST_SKIP() << "the child could not give up its privileges";
  if (WEXITSTATUS(status) == kStillFifo)
    GTEST_SKIP() << "SCHED_FIFO is granted even without privileges here";
  EXPECT_EQ(WEXITSTATUS(status), kFallbackOk);
}

}  // namespace
