#include "sim/host/run_guard.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace vorel_sim {

namespace {

sigset_t guardedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void RunGuard::blockSignals() {
  const sigset_t set = guardedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

RunGuard::RunGuard(std::function<double()> clock, std::optional<double> duration_s,
                   std::function<void()> terminate)
    : clock_(std::move(clock)), duration_s_(duration_s), terminate_(std::move(terminate)) {}

RunGuard::~RunGuard() {
  stop();
}

void RunGuard::start() {
  if (thread_.joinable())
    return;
  start_s_ = clock_();
  stop_.store(false);
  thread_ = std::thread([this] { run(); });
}

void RunGuard::stop() {
  if (!thread_.joinable())
    return;
  stop_.store(true);
  thread_.join();
}

void RunGuard::trigger(Reason reason) {
  if (abort_.exchange(true))
    return;
  reason_.store(reason);
  if (terminate_)
    terminate_();
}

void RunGuard::run() {
  const sigset_t set = guardedSignals();
  const timespec poll{0, 10 * 1000 * 1000};  // 10 ms
  while (!stop_.load()) {
    const int sig = ::sigtimedwait(&set, nullptr, &poll);
    if (sig == SIGINT || sig == SIGTERM) {
      if (abort_.load() && reason_.load() == Reason::Signal) {
        std::printf("\nvorel-sim: interrupted again: exiting at once\n");
        std::fflush(stdout);
        ::_exit(130);
      }
      std::printf("\n[host] %s: terminating the robot program\n",
                  sig == SIGINT ? "interrupted" : "terminated");
      std::fflush(stdout);
      trigger(Reason::Signal);
      continue;
    }
    if (duration_s_ && !abort_.load() && clock_() - start_s_ >= *duration_s_) {
      std::printf("[host] --duration %g s reached: terminating the robot program\n", *duration_s_);
      std::fflush(stdout);
      trigger(Reason::Duration);
    }
  }
}

}  // namespace vorel_sim
