// Event streams and buses, with real delivery threads. Waits are on
// conditions and futures, each with a generous guard that fails the test
// instead of hanging.
#include "host/events.h"

#include <gtest/gtest.h>

#include <boost/any.hpp>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
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

// Subscriber 1 blocks in its handler of payload 0; subscriber 2 is free.
TEST(EventStream, ThirtyTwoWaitingBehindBlockedHandler_QueueFullForItAloneUntilDrained) {
  Recorder blocked_seen, free_seen;
  std::promise<void> started, release;
  const std::shared_future<void> released = release.get_future().share();
  auto stream = EventStream::create<Tick>();
  ASSERT_TRUE(stream->registerCallback(1, callback<Tick>([&](const Tick& t) {
                                         if (t.n == 0) {
                                           started.set_value();
                                           released.wait_for(kGuard);
                                         }
                                         blocked_seen.add(t.n);
                                       })));
  ASSERT_TRUE(stream->registerCallback(2, free_seen.ticks()));
  stream->publish(boost::any(Tick{0}));
  ASSERT_EQ(started.get_future().wait_for(kGuard), std::future_status::ready);
  for (int i = 1; i <= 32; ++i) {
    stream->publish(boost::any(Tick{i}));
    ASSERT_TRUE(free_seen.awaitCount(static_cast<std::size_t>(i) + 1));
  }
  try {
    stream->publish(boost::any(Tick{33}));
    ADD_FAILURE() << "the 33rd waiting payload was accepted";
  } catch (const std::overflow_error& e) {
    EXPECT_STREQ(e.what(), "queue is full");
  }
  ASSERT_TRUE(free_seen.awaitCount(34));  // the free subscriber got payload 33
  release.set_value();
  ASSERT_TRUE(blocked_seen.awaitCount(33));
  stream->publish(boost::any(Tick{34}));  // drained: accepted again
  ASSERT_TRUE(blocked_seen.awaitCount(34));
  std::vector<int> expected;
  for (int i = 0; i <= 32; ++i)
    expected.push_back(i);
  expected.push_back(34);
  EXPECT_EQ(blocked_seen.values(), expected);
}

TEST(EventStream, DifferentStreams_DeliverConcurrently) {
  std::promise<void> fast_ran;
  const std::shared_future<void> fast_done = fast_ran.get_future().share();
  Recorder slow_saw_fast;
  auto slow = EventStream::create<Tick>();
  auto fast = EventStream::create<Other>();
  // The slow handler returns only once the other stream's handler has run:
  // with serialised delivery it would give up after the guard.
  ASSERT_TRUE(slow->registerCallback(1, callback<Tick>([&](const Tick&) {
                                       slow_saw_fast.add(fast_done.wait_for(kGuard) ==
                                                         std::future_status::ready);
                                     })));
  ASSERT_TRUE(
      fast->registerCallback(1, callback<Other>([&](const Other&) { fast_ran.set_value(); })));
  slow->publish(boost::any(Tick{1}));
  fast->publish(boost::any(Other{1}));
  ASSERT_TRUE(slow_saw_fast.awaitCount(1));
  EXPECT_EQ(slow_saw_fast.values(), (std::vector<int>{1}));
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

TEST(EventBus, FindOrCreate_OneStreamPerTypeFirstEnteredWins) {
  EventBus bus;
  EXPECT_FALSE(bus.findStream<Tick>());
  const auto stream = bus.findOrCreateStream<Tick>();
  EXPECT_EQ(bus.findOrCreateStream<Tick>(), stream);
  EXPECT_EQ(bus.addStream(EventStream::create<Tick>()), stream);
  EXPECT_FALSE(bus.findStream<Other>());
  EXPECT_THROW(stream->publish(boost::any(Other{1})), std::invalid_argument);
}

}  // namespace
