// ProcessStats: what Linux tells about this process and its threads, read
// from /proc/self and the kernel's CPU clocks. No state; every function may
// be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace vorel_sim {
namespace process_stats {

// The kernel's id of the calling thread (gettid).
pid_t currentThreadId();

// The ids of this process's threads now (/proc/self/task).
std::set<pid_t> threadIds();

// CPU time, user and system, that thread `tid` of this process has used, in
// ns. Read from the thread's CPU clock: clock_gettime on the clock id that
// Linux derives from a thread id (what pthread_getcpuclockid returns for a
// pthread_t; the kernel answers for threads of the calling process only), so
// it needs no pthread_t and has nanosecond resolution. When the kernel
// refuses, /proc/self/task/TID/stat's utime + stime (clock ticks) is used.
// Empty when the thread no longer exists.
std::optional<std::int64_t> threadCpuNanos(pid_t tid);

// Minor page faults thread `tid` of this process has taken since it began
// (field minflt of /proc/self/task/TID/stat). Empty when the thread no longer
// exists.
std::optional<std::uint64_t> threadMinorFaults(pid_t tid);

// The scheduling thread `tid` runs with: "SCHED_FIFO <priority>", "normal"
// (SCHED_OTHER), another policy's name, or "unknown" when the thread is gone.
std::string schedulingOf(pid_t tid);

// Resident set size of this process, KiB (VmRSS of /proc/self/status).
std::optional<long> residentKiB();

// The machine's load average over the last minute (/proc/loadavg).
std::optional<double> loadAverage1min();

}  // namespace process_stats
}  // namespace vorel_sim
