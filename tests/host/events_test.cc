// Event streams and buses as the device subscribes to them, with real
// delivery threads. Waits are on conditions, each with a generous guard that
// fails the test instead of hanging.
#include "host/events.h"

#include <gtest/gtest.h>

#include <boost/any.hpp>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using hx4_program_api_internals::EventBus;
using hx4_program_api_internals::EventStream;

constexpr std::chrono::seconds kGuard(10);

struct Tick {
  int n = 0;
};
struct Other {
  int n = 0;
};

template <class T>
boost::any callback(std::function<void(const T&)> fn) {
  return boost::any(fn);
}

// What a handler saw: payload values and delivering threads, with a wait.
class Recorder {
 public:
  void add(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.push_back(n);
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
  }
  bool awaitCount(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kGuard, [&] { return values_.size() >= n; });
  }
  std::vector<int> values() {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
  }
  std::vector<std::thread::id> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  // A Tick handler that records into this Recorder.
  boost::any ticks() {
    return callback<Tick>([this](const Tick& t) { add(t.n); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> values_;
  std::vector<std::thread::id> threads_;
};

// A throwing handler is reported on standard error and delivery goes on.
TEST(EventStream, OneSubscriber_InPublicationOrderOnOneDeliveryThreadEvenAfterAThrow) {
  Recorder first, second;
  auto stream = EventStream::create<Tick>();
  EXPECT_TRUE(stream->registerCallback(7, callback<Tick>([&](const Tick& t) {
                                         first.add(t.n);
                                         if (t.n == 1)
                                           throw std::runtime_error("boom");
                                       })));
  EXPECT_FALSE(stream->registerCallback(7, second.ticks()));  // one callback per id
  testing::internal::CaptureStderr();
  std::vector<int> expected;
  for (int i = 0; i < 30; ++i) {
    stream->publish(boost::any(Tick{i}));
    expected.push_back(i);
  }
  ASSERT_TRUE(first.awaitCount(30));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "event handler failed: boom\n");
  EXPECT_EQ(first.values(), expected);
  EXPECT_TRUE(second.values().empty());
  const std::vector<std::thread::id> threads = first.threads();
  for (const auto& id : threads) {
    EXPECT_EQ(id, threads[0]);
    EXPECT_NE(id, std::this_thread::get_id());
  }
}

// Unsubscribing returns once the subscriber's delivery threads are gone.
TEST(EventBus, Unsubscribe_StopsDeliveryToThatIdOnEveryStream) {
  Recorder gone, kept, other;
  EventBus bus;
  ASSERT_TRUE(bus.findOrCreateStream<Tick>()->registerCallback(4, gone.ticks()));
  ASSERT_TRUE(bus.findOrCreateStream<Tick>()->registerCallback(5, kept.ticks()));
  ASSERT_TRUE(bus.findOrCreateStream<Other>()->registerCallback(
      4, callback<Other>([&](const Other& o) { other.add(o.n); })));
  bus.findStream<Tick>()->publish(boost::any(Tick{1}));
  ASSERT_TRUE(gone.awaitCount(1));

  bus.unsubscribe(4);
  EXPECT_EQ(bus.findStream<Tick>()->callbackCount(), 1u);
  EXPECT_EQ(bus.findStream<Other>()->callbackCount(), 0u);
  bus.findStream<Tick>()->publish(boost::any(Tick{2}));
  bus.findStream<Other>()->publish(boost::any(Other{2}));
  ASSERT_TRUE(kept.awaitCount(2));
  EXPECT_EQ(gone.values(), (std::vector<int>{1}));
  EXPECT_TRUE(other.values().empty());
}

}  // namespace
