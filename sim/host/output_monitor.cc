#include "sim/host/output_monitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace vorel_sim {

namespace {

void writeAll(int fd, const char* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return;  // the original output is gone: drop what cannot be written
    }
    data += n;
    len -= static_cast<std::size_t>(n);
  }
}

}  // namespace

std::uint64_t OutputMonitor::Count::since(double from) const {
  return static_cast<std::uint64_t>(
      std::count_if(times.begin(), times.end(), [from](double t) { return t >= from; }));
}

double OutputMonitor::Count::firstSince(double from) const {
  for (const double t : times) {
    if (t >= from)
      return t;
  }
  return from - 1.0;
}

std::vector<OutputMonitor::Pattern> OutputMonitor::devicePatterns() {
  return {{"crc_error", "No valid frame: "},
          {"lost_sync", "lost sync, trying to reconnect"},
          {"flagged", "No valid forces:"},
          {"crc_end", "End of wrong CRCs: "},
          {"sync_end", "End of lost sync: "},
          {"flagged_end", "End of flagged frames: "},
          {"non_finite", "Non-finite force-control input"},
          {"adaptive_started", "Start the adaptive thread instance."},
          {"stale_trip", "[ERROR] Sensor stale: ", true},
          {"stale_recovered", "[INFO] Sensor usable again after ", true},
          {"cycle_failed", "[ERROR] Force control cycle failed", true},
          {"blackbox_file", "[INFO] Black box: wrote ", true},
          {"blackbox_error", "[ERROR] Black box: cannot write ", true},
          // The activating process of --processes 2 writes them.
          {"blackbox_file", "[activator] [INFO] Black box: wrote "},
          {"blackbox_error", "[activator] [ERROR] Black box: cannot write "}};
}

OutputMonitor::OutputMonitor(int fd, std::vector<Pattern> patterns, std::function<double()> clock,
                             std::string line_prefix)
    : fd_(fd),
      patterns_(std::move(patterns)),
      line_prefix_(std::move(line_prefix)),
      clock_(std::move(clock)) {}

OutputMonitor::~OutputMonitor() {
  stop();
}

void OutputMonitor::start() {
  if (thread_.joinable())
    return;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe2");
  std::fflush(nullptr);
  saved_fd_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 3);
  if (saved_fd_ < 0) {
    const int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::system_error(err, std::generic_category(), "dup");
  }
  // dup2 clears close-on-exec on fd_: a child process writes into the pipe too.
  if (::dup2(fds[1], fd_) < 0) {
    const int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    ::close(saved_fd_);
    saved_fd_ = -1;
    throw std::system_error(err, std::generic_category(), "dup2");
  }
  ::close(fds[1]);
  read_fd_ = fds[0];
  thread_ = std::thread([this] { run(); });
}

void OutputMonitor::stop() {
  if (!thread_.joinable())
    return;
  std::fflush(nullptr);
  // Putting the original back closes this process's last write end of the
  // pipe; the thread sees the end once every child holding it has ended.
  ::dup2(saved_fd_, fd_);
  thread_.join();
  ::close(read_fd_);
  ::close(saved_fd_);
  read_fd_ = -1;
  saved_fd_ = -1;
}

void OutputMonitor::setClock(std::function<double()> clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_ = std::move(clock);
}

std::map<std::string, OutputMonitor::Count> OutputMonitor::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

OutputMonitor::Count OutputMonitor::count(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = counts_.find(key);
  return it == counts_.end() ? Count() : it->second;
}

bool OutputMonitor::waitForLine(const std::string& key, std::uint64_t lines,
                                std::chrono::milliseconds guard) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, guard, [&] {
    const auto it = counts_.find(key);
    return it != counts_.end() && it->second.lines >= lines;
  });
}

double OutputMonitor::now() {
  std::function<double()> clock;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    clock = clock_;
  }
  return clock ? clock() : 0.0;
}

void OutputMonitor::stampConsole(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    scan(text.substr(start, end == std::string::npos ? std::string::npos : end - start), true);
    if (end == std::string::npos)
      break;
    start = end + 1;
  }
}

void OutputMonitor::scan(const std::string& line, bool console) {
  for (const auto& pattern : patterns_) {
    if (pattern.console != console || line.compare(0, pattern.prefix.size(), pattern.prefix) != 0)
      continue;
    const double t = now();
    std::lock_guard<std::mutex> lock(mutex_);
    Count& c = counts_[pattern.key];
    if (c.lines == 0)
      c.first_time = t;
    c.last_time = t;
    c.times.push_back(t);
    c.total += std::strtoull(line.c_str() + pattern.prefix.size(), nullptr, 10);
    ++c.lines;
    changed_.notify_all();
  }
}

void OutputMonitor::run() {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(read_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    if (line_prefix_.empty())
      writeAll(saved_fd_, buf, static_cast<std::size_t>(n));
    partial_.append(buf, static_cast<std::size_t>(n));
    std::size_t start = 0;
    std::string prefixed;
    for (;;) {
      const auto end = partial_.find('\n', start);
      if (end == std::string::npos)
        break;
      const std::string line = partial_.substr(start, end - start);
      if (!line_prefix_.empty())
        prefixed += line_prefix_ + line + "\n";
      scan(line, false);
      start = end + 1;
    }
    if (!prefixed.empty())
      writeAll(saved_fd_, prefixed.data(), prefixed.size());
    partial_.erase(0, start);
  }
  if (!partial_.empty()) {
    if (!line_prefix_.empty()) {
      const std::string last = line_prefix_ + partial_ + "\n";
      writeAll(saved_fd_, last.data(), last.size());
    }
    scan(partial_, false);
  }
  partial_.clear();
}

}  // namespace vorel_sim
