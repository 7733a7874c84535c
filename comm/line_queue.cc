#include "comm/line_queue.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "host/console.h"

namespace vorel_device {

namespace {

static_assert((LineQueue::kCapacity & (LineQueue::kCapacity - 1)) == 0,
              "the ring's index wraps with a mask");
constexpr std::size_t kMask = LineQueue::kCapacity - 1;

}  // namespace

LineQueue::LineQueue() {
  // Each entry's sequence says whose turn it is: equal to the ticket of the
  // next post that may fill it, or that ticket + 1 once filled.
  for (std::size_t i = 0; i < kCapacity; ++i)
    entries_[i].sequence.store(i, std::memory_order_relaxed);
  sem_init(&wake_, 0, 0);
  drainer_ = std::thread([this] { drain(); });
}

LineQueue::~LineQueue() {
  stopping_.store(true);
  sem_post(&wake_);
  drainer_.join();
  sem_destroy(&wake_);
}

bool LineQueue::post(Channel channel, const char* format, ...) {
  std::size_t ticket = enqueue_.load(std::memory_order_relaxed);
  Entry* entry = nullptr;
  for (;;) {
    entry = &entries_[ticket & kMask];
    const std::size_t sequence = entry->sequence.load(std::memory_order_acquire);
    const auto turn = static_cast<std::ptrdiff_t>(sequence - ticket);
    if (turn == 0) {
      if (enqueue_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_relaxed))
        break;
    } else if (turn < 0) {
      dropped_.fetch_add(1);  // the drainer has not freed this entry yet: full
      sem_post(&wake_);
      return false;
    } else {
      ticket = enqueue_.load(std::memory_order_relaxed);
    }
  }
  entry->channel = channel;
  va_list args;
  va_start(args, format);
  std::vsnprintf(entry->text, kTextBytes, format, args);
  va_end(args);
  entry->sequence.store(ticket + 1, std::memory_order_release);
  posted_.fetch_add(1);
  sem_post(&wake_);
  return true;
}

std::size_t LineQueue::writeReady() {
  std::size_t count = 0;
  for (;;) {
    Entry& entry = entries_[dequeue_ & kMask];
    if (entry.sequence.load(std::memory_order_acquire) != dequeue_ + 1)
      break;
    if (entry.channel == Channel::kConsole) {
      hx4_program_api_internals::Console::write(std::string(entry.text) + "\n");
    } else {
      std::fputs(entry.text, stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
    entry.sequence.store(dequeue_ + kCapacity, std::memory_order_release);
    ++dequeue_;
    ++count;
  }
  if (count > 0) {
    std::lock_guard<std::mutex> lock(written_mutex_);
    written_ += count;
  }
  written_changed_.notify_all();
  return count;
}

void LineQueue::reportDrops() {
  const std::uint64_t dropped = dropped_.load();
  if (dropped == drops_reported_)
    return;
  char text[96];
  std::snprintf(text, sizeof text, "[ERROR] Console too slow: %llu line(s) dropped\n",
                static_cast<unsigned long long>(dropped - drops_reported_));
  drops_reported_ = dropped;
  hx4_program_api_internals::Console::write(text);
}

void LineQueue::drain() {
  for (;;) {
    while (sem_wait(&wake_) != 0 && errno == EINTR) {
    }
    const bool last = stopping_.load();
    writeReady();
    reportDrops();
    if (last) {
      // Lines posted while the last ones were written.
      while (writeReady() > 0) {
      }
      reportDrops();
      return;
    }
  }
}

void LineQueue::flush() {
  const std::uint64_t target = posted_.load();
  sem_post(&wake_);
  std::unique_lock<std::mutex> lock(written_mutex_);
  written_changed_.wait(lock, [&] { return written_ >= target; });
}

}  // namespace vorel_device
