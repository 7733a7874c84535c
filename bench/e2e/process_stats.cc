#include "bench/e2e/process_stats.h"

#include <dirent.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace vorel_sim {
namespace process_stats {

namespace {

// Linux's CPU clock id of a thread: the bitwise complement of its id shifted
// left by 3, with bit 2 (per thread) and the clock kind in bits 0-1
// (2: CPUCLOCK_SCHED, the scheduler's exact runtime).
clockid_t threadCpuClock(pid_t tid) {
  const unsigned id = ~static_cast<unsigned>(tid);
  return static_cast<clockid_t>((id << 3) | 4u | 2u);
}

std::string taskFile(pid_t tid, const char* name) {
  return "/proc/self/task/" + std::to_string(tid) + "/" + name;
}

// Fields `first` and `first + 1` of /proc/self/task/TID/stat (numbered from
// 1, as in proc(5)), as numbers; false when the file or the fields are not
// there.
bool statFields(pid_t tid, int first, unsigned long long& a, unsigned long long& b) {
  std::ifstream in(taskFile(tid, "stat"));
  std::string text;
  if (!std::getline(in, text))
    return false;
  // The command name (field 2) is in parentheses and may hold blanks: count
  // the fields after its closing parenthesis (field 3 is the first of them).
  const auto close = text.rfind(')');
  if (close == std::string::npos)
    return false;
  std::istringstream rest(text.substr(close + 1));
  std::string field;
  for (int i = 3; i <= first + 1 && rest >> field; ++i) {
    if (i == first)
      a = std::strtoull(field.c_str(), nullptr, 10);
    if (i == first + 1)
      b = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<bool>(rest);
}

// utime + stime (fields 14 and 15) of /proc/self/task/TID/stat, in ns.
std::optional<std::int64_t> statCpuNanos(pid_t tid) {
  unsigned long long utime = 0, stime = 0;
  if (!statFields(tid, 14, utime, stime))
    return std::nullopt;
  const long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks <= 0)
    return std::nullopt;
  return static_cast<std::int64_t>((utime + stime) *
                                   (1000000000ull / static_cast<unsigned>(ticks)));
}

// The number after `key` in a "Key:   value" file, or empty.
std::optional<std::string> field(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0) {
      std::istringstream value(line.substr(key.size()));
      std::string word;
      if (value >> word)
        return word;
    }
  }
  return std::nullopt;
}

}  // namespace

pid_t currentThreadId() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

std::set<pid_t> threadIds() {
  std::set<pid_t> ids;
  DIR* dir = ::opendir("/proc/self/task");
  if (!dir)
    return ids;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long id = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && id > 0)
      ids.insert(static_cast<pid_t>(id));
  }
  ::closedir(dir);
  return ids;
}

std::optional<std::int64_t> threadCpuNanos(pid_t tid) {
  timespec ts;
  if (::clock_gettime(threadCpuClock(tid), &ts) == 0) {
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  }
  return statCpuNanos(tid);
}

std::optional<std::uint64_t> threadMinorFaults(pid_t tid) {
  unsigned long long minflt = 0, cminflt = 0;  // fields 10 and 11
  if (!statFields(tid, 10, minflt, cminflt))
    return std::nullopt;
  return static_cast<std::uint64_t>(minflt);
}

std::optional<long> residentKiB() {
  const auto value = field("/proc/self/status", "VmRSS:");
  if (!value)
    return std::nullopt;
  return std::strtol(value->c_str(), nullptr, 10);
}

std::optional<double> loadAverage1min() {
  std::ifstream in("/proc/loadavg");
  double load = 0.0;
  if (!(in >> load))
    return std::nullopt;
  return load;
}

std::string schedulingOf(pid_t tid) {
  const int policy = sched_getscheduler(tid);
  sched_param param{};
  if (policy < 0 || sched_getparam(tid, &param) != 0)
    return "unknown";
  switch (policy) {
    case SCHED_FIFO:
      return "SCHED_FIFO " + std::to_string(param.sched_priority);
    case SCHED_RR:
      return "SCHED_RR " + std::to_string(param.sched_priority);
    case SCHED_OTHER:
      return "normal";
    default:
      return "policy " + std::to_string(policy);
  }
}

}  // namespace process_stats
}  // namespace vorel_sim
