// LineQueue: the text lines of the real-time threads (the force-control
// thread and the sensor reader), taken without blocking and written by a
// drainer thread of normal priority.
//
// post() formats one line (printf-style, without its line end) straight into
// a fixed-size entry of a bounded ring: no allocation, no lock, no system
// call but a semaphore post that never waits. The drainer takes the entries
// in the order they were posted and writes each as the thread used to:
//   kConsole  Console::write("<text>\n")       ("[INFO] " / "[ERROR] " lines)
//   kStdout   "<text>\n" on standard output, flushed  (the workers' diagnostics)
// A line longer than kTextBytes - 1 is cut there. A post that finds the ring
// full is dropped and counted; once the drainer catches up it writes one
// console line "[ERROR] Console too slow: <n> line(s) dropped".
#pragma once

#include <semaphore.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vorel_device {

// Threads: post() from any thread (several may post at once). The
// constructor starts the drainer and the destructor flushes and joins it, on
// the owner's thread; flush() from the owner's thread waits until every line
// posted before it has been written (as long as the console takes).
class LineQueue {
 public:
  enum class Channel : std::uint8_t { kConsole, kStdout };
  static constexpr std::size_t kCapacity = 64;    // entries, a power of two
  static constexpr std::size_t kTextBytes = 240;  // per entry, with the terminating zero

  LineQueue();
  ~LineQueue();
  LineQueue(const LineQueue&) = delete;
  LineQueue& operator=(const LineQueue&) = delete;

  // Queues one line; false when the ring was full (the line is dropped).
  bool post(Channel channel, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Waits until every line posted before the call has been written.
  void flush();
  // Lines dropped since construction.
  std::uint64_t dropped() const { return dropped_.load(); }

 private:
  struct Entry {
    std::atomic<std::size_t> sequence{0};
    Channel channel = Channel::kConsole;
    char text[kTextBytes] = {};
  };

  void drain();
  // Writes the entries that are ready; returns how many.
  std::size_t writeReady();
  void reportDrops();

  Entry entries_[kCapacity];
  std::atomic<std::size_t> enqueue_{0};
  std::size_t dequeue_ = 0;  // drainer only
  std::atomic<std::uint64_t> posted_{0};
  std::atomic<std::uint64_t> dropped_{0};
  std::uint64_t drops_reported_ = 0;  // drainer only
  sem_t wake_;
  std::atomic<bool> stopping_{false};
  std::mutex written_mutex_;  // owner and drainer: the flush hand-over
  std::condition_variable written_changed_;
  std::uint64_t written_ = 0;  // lines written, under written_mutex_
  std::thread drainer_;
};

}  // namespace vorel_device
