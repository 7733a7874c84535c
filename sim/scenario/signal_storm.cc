#include "sim/scenario/signal_storm.h"

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace vorel_sim {

namespace {

std::atomic<std::uint64_t> g_handled{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "used in a signal handler");

void onSignal(int) {
  g_handled.fetch_add(1, std::memory_order_relaxed);
}

// The ids of this process's threads, except `self`.
std::vector<pid_t> threadsExcept(pid_t self) {
  std::vector<pid_t> ids;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir)) {
      const pid_t id = static_cast<pid_t>(std::atoi(entry->d_name));
      if (id > 0 && id != self)
        ids.push_back(id);
    }
    ::closedir(dir);
  }
  return ids;
}

}  // namespace

SignalStorm::~SignalStorm() {
  stop();
}

std::uint64_t SignalStorm::handled() {
  return g_handled.load();
}

void SignalStorm::start(double seconds) {
  if (thread_.joinable())
    return;
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: interrupted calls fail with EINTR
  ::sigaction(SIGUSR1, &action, nullptr);
  stop_.store(false);
  thread_ = std::thread([this, seconds] { run(seconds); });
}

void SignalStorm::stop() {
  stop_.store(true);
  if (thread_.joinable())
    thread_.join();
}

void SignalStorm::run(double seconds) {
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &own, nullptr);
  const pid_t process = ::getpid();
  const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
  const long total = static_cast<long>(seconds * kRateHz);
  constexpr long kPeriodNs = 1000000000L / kRateHz;
  timespec next;
  ::clock_gettime(CLOCK_MONOTONIC, &next);
  std::vector<pid_t> threads;
  for (long i = 0; i < total && !stop_.load(); ++i) {
    // Threads come and go: the list is taken again every 100 signals.
    if (i % 100 == 0)
      threads = threadsExcept(self);
    if (threads.empty())
      break;
    const pid_t target = threads[static_cast<std::size_t>(i) % threads.size()];
    if (::syscall(SYS_tgkill, process, target, SIGUSR1) == 0)
      sent_.fetch_add(1);
    next.tv_nsec += kPeriodNs;
    if (next.tv_nsec >= 1000000000L) {
      next.tv_nsec -= 1000000000L;
      ++next.tv_sec;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
  }
}

}  // namespace vorel_sim
