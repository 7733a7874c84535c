// OutputMonitor: reads what this process (the device's workers included)
// writes to a descriptor, normally standard output, line by line, passes
// every byte on unchanged, and watches the lines for the device's
// diagnostics. The device's reader prints "No valid frame: <n>" when wrong
// CRCs begin and "lost sync, trying to reconnect" when it searches the frame
// start, each with an end line ("End of ...: <frames> ..."); the host counts
// them and notes the controller time of each.
//
// start() puts a pipe in place of the descriptor (dup2) and starts a thread
// that copies the pipe to the original descriptor; stop() flushes stdio,
// puts the original back, waits until every writer of the pipe is gone (a
// child process that inherited it must have ended) and joins the thread.
//
// Threads: start() and stop() from one owner thread; counts(), waitForLine()
// and the listener from any thread. The clock function is called on the
// monitor's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorel_sim {

class OutputMonitor {
 public:
  // A watched line prefix and what it is called in the counts.
  struct Pattern {
    std::string key;       // "crc_error"
    std::string prefix;    // "No valid frame: "
    bool console = false;  // a host-console line: stamped by stampConsole, not from the pipe
  };
  struct Count {
    std::uint64_t lines = 0;
    double first_time = 0.0;  // clock() at the first and last match
    double last_time = 0.0;
    std::vector<double> times;  // clock() at every match, in order
    std::uint64_t total = 0;    // sum of the whole numbers right after the prefix

    // Matches at clock() `from` or later.
    std::uint64_t since(double from) const;
    // The first match at `from` or later; `from` - 1 when there is none.
    double firstSince(double from) const;
  };

  // The device's diagnostics: "crc_error", "lost_sync", "flagged" (the
  // reader's begin lines of wrong CRCs, lost sync, flagged frames) and
  // "crc_end", "sync_end", "flagged_end" (their end lines, whose totals add
  // up the frames), "non_finite",
  // "adaptive_started" (the force-control thread reached its loop), and the
  // fail-safe console lines "stale_trip" / "stale_recovered" (the
  // stale-sensor supervisor holds the offset / resumes) and "cycle_failed"
  // (a force-control cycle could not run), "blackbox_file" / "blackbox_error"
  // (the black box wrote a file / could not), also the activating process's.
  static std::vector<Pattern> devicePatterns();

  // `fd`: the descriptor to watch (1: standard output). `clock`: controller
  // time in s, stamped on every match (may be empty: 0). `line_prefix`: put
  // before every line passed on (then only whole lines are passed on; a last
  // line without newline at stop()).
  OutputMonitor(int fd, std::vector<Pattern> patterns, std::function<double()> clock,
                std::string line_prefix = std::string());
  ~OutputMonitor();
  OutputMonitor(const OutputMonitor&) = delete;
  OutputMonitor& operator=(const OutputMonitor&) = delete;

  // Throws std::system_error when the pipe cannot be set up.
  void start();
  void stop();

  void setClock(std::function<double()> clock);
  // Counts the console patterns in `text` (one or more lines), stamped now:
  // the host's console sink calls it as the device writes the text, so that
  // the stamp does not wait for the pipe to be read.
  void stampConsole(const std::string& text);
  std::map<std::string, Count> counts() const;
  Count count(const std::string& key) const;
  // Waits until `key` has been seen at least `lines` times; false after
  // `guard` without it.
  bool waitForLine(const std::string& key, std::uint64_t lines,
                   std::chrono::milliseconds guard) const;

 private:
  void run();
  void scan(const std::string& line, bool console);
  double now();

  const int fd_;
  const std::vector<Pattern> patterns_;
  const std::string line_prefix_;
  int saved_fd_ = -1;
  int read_fd_ = -1;
  std::thread thread_;
  std::string partial_;  // monitor thread only

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::function<double()> clock_;
  std::map<std::string, Count> counts_;
};

}  // namespace vorel_sim
