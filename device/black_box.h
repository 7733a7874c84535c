// BlackBox: writes what force control did around every event that matters to
// a CSV file, from the force-control recorder's ring, on a normal-priority
// thread of the activating process. It reads the ring as any reader does
// (read-only, lock-free), so it can neither delay the 2 ms cycle nor make it
// fail; a file it cannot write costs one ERROR line and nothing else.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comm/force_control_recorder.h"

namespace vorel_device {

// What makes a file:
//   - a record whose events are set (stale trip, cycle failure, a limit or
//     envelope that starts to bind, program termination while force control
//     is on, a robot program's request): the file waits until `after_s` of
//     records after it exist (or, when the ring stops, or after after_s + 1 s
//     of waiting, takes what exists);
//   - liveness loss: the ring stopped advancing for 50 ms (25 cycles) after
//     it had advanced: the force-control thread stopped, is stuck or died.
// The file holds the records from `before_s` before the event to `after_s`
// after it, one row per cycle (comm/force_control_csv.h: vorel-sim's trace
// columns, so scripts/plot-trace.py plots it, then the state columns).
// Several events inside one window give one file, named after the first; the
// INFO line lists them all.
//
// Files: <directory>/vorel-blackbox-YYYYMMDD-HHMMSS.mmm-<event>.csv, local
// time of the event; <event> is stale, cycle-failure, limit, terminated,
// request or liveness (several joined with '+'). Written as <name>.part and
// renamed, so a complete file is all anyone sees. The directory is created
// when missing; of the files named so in it, the newest max_files are kept.
// Host console: "[INFO] Black box: wrote <path> (...)" per file; "[ERROR]
// Black box: cannot write <path>: <reason>; force control goes on" once per
// episode of failures (until a file is written again).
//
// Threads: the constructor, start(), stop() and the destructor on the owner's
// thread; the rest on the black box's own thread (normal scheduling). Stop it
// before the force-control thread, or it reads the end of the cycles as a
// liveness loss (settings.liveness = false leaves that check out).
class BlackBox {
 public:
  struct Settings {
    std::string directory = "vorel-blackbox";  // relative: under the working directory
    std::size_t max_files = 20;                // files kept (at least 1)
    double before_s = 10.0;                    // s of records before the event
    double after_s = 1.0;                      // s of records after it
    bool liveness = true;                      // a ring that stops makes a file
  };

  static constexpr const char* kFilePrefix = "vorel-blackbox-";

  BlackBox(std::shared_ptr<const recorder::RecorderReader> ring, Settings settings);
  // stop().
  ~BlackBox();
  BlackBox(const BlackBox&) = delete;
  BlackBox& operator=(const BlackBox&) = delete;

  // Starts the thread, watching the records from the ring's next one on.
  // False when it runs already or could not be started.
  bool start();
  // Writes a file still waiting for its records with what exists, then ends
  // the thread. Idempotent.
  void stop();

  // Files written, and files that could not be written, since construction.
  std::uint64_t filesWritten() const { return files_written_.load(); }
  std::uint64_t writeFailures() const { return write_failures_.load(); }

  // Name of the event bits (ForceControlRecord::events), joined with '+';
  // "liveness" for none.
  static std::string eventName(std::uint32_t events);

 private:
  // An event waiting for the records after it.
  struct Pending {
    std::uint64_t trigger = 0;        // index of the event's record
    std::uint32_t events = 0;         // its event bits; 0: liveness loss
    std::uint32_t window_events = 0;  // every event bit in the window
    bool liveness_in_window = false;  // the ring stopped inside the window
    double controller_time = 0.0;     // s, of the event's record
    std::uint64_t cycle = 0;
    std::int64_t monotonic_ns = 0;  // of the event's record
    std::int64_t noticed_ns = 0;    // when this thread saw it
  };

  void run();
  void poll();
  void notice(std::uint64_t index, const ForceControlRecord& record, std::int64_t now_ns);
  void writePending();
  // Writes records [first, last] to `path`; false with `reason` when it cannot.
  bool writeFile(const std::string& path, std::uint64_t first, std::uint64_t last,
                 std::string& reason);
  std::string fileName(const Pending& pending) const;
  void pruneOldFiles();
  static void writeLine(const std::string& text);

  const std::shared_ptr<const recorder::RecorderReader> ring_;
  const Settings settings_;
  const std::uint64_t before_records_;
  const std::uint64_t after_records_;

  std::mutex mutex_;  // guards stop_requested_
  std::condition_variable wake_;
  bool stop_requested_ = false;
  std::thread thread_;

  // The black box's thread only (and stop() after the join).
  std::uint64_t scan_ = 0;       // next record to look at for events
  std::uint64_t seen_next_ = 0;  // the ring's next index at the last look
  std::int64_t last_advance_ns_ = 0;
  bool advancing_ = false;  // the ring advanced since it last stopped
  std::optional<Pending> pending_;
  bool error_reported_ = false;             // in an episode of write failures
  std::vector<ForceControlRecord> window_;  // the records of the file being written
  std::string row_;
  std::atomic<std::uint64_t> files_written_{0};
  std::atomic<std::uint64_t> write_failures_{0};
};

}  // namespace vorel_device
