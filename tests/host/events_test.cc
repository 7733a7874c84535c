// Event streams and buses, with real delivery threads. Waits are on
// conditions, each with a generous guard that fails the test instead of
// hanging.
#include "host/events.h"

#include <gtest/gtest.h>

#include <atomic>
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

// What a handler saw: payload values and delivering threads, with waits.
class Recorder {
 public:
  void add(int n) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      values_.push_back(n);
      threads_.push_back(std::this_thread::get_id());
    }
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

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> values_;
  std::vector<std::thread::id> threads_;
};

// A one-shot gate: open() releases every waiter.
class Latch {
 public:
  void open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kGuard, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

template <class T>
boost::any callback(std::function<void(const T&)> fn) {
  return boost::any(fn);
}

TEST(EventStream, SecondRegistrationSameId_AddsNoCallback) {
  Recorder first, second;
  auto stream = EventStream::create<Tick>();
  EXPECT_TRUE(stream->registerCallback(7, callback<Tick>([&](const Tick& t) { first.add(t.n); })));
  EXPECT_FALSE(
      stream->registerCallback(7, callback<Tick>([&](const Tick& t) { second.add(t.n); })));
  EXPECT_EQ(stream->callbackCount(), 1u);

  stream->publish(boost::any(Tick{1}));
  stream->publish(boost::any(Tick{2}));
  ASSERT_TRUE(first.awaitCount(2));
  // In order on one thread: once the second payload is seen, the first was
  // delivered exactly once.
  EXPECT_EQ(first.values(), (std::vector<int>{1, 2}));
  EXPECT_TRUE(second.values().empty());
}

TEST(EventStream, OneStream_HandlersRunInOrderOnOneDeliveryThread) {
  Recorder seen;
  auto stream = EventStream::create<Tick>();
  ASSERT_TRUE(stream->registerCallback(1, callback<Tick>([&](const Tick& t) { seen.add(t.n); })));
  std::vector<int> expected;
  for (int i = 0; i < 30; ++i) {
    stream->publish(boost::any(Tick{i}));
    expected.push_back(i);
  }
  ASSERT_TRUE(seen.awaitCount(30));
  EXPECT_EQ(seen.values(), expected);
  const std::vector<std::thread::id> threads = seen.threads();
  for (const auto& id : threads) {
    EXPECT_EQ(id, threads[0]);
    EXPECT_NE(id, std::this_thread::get_id());
  }
}

TEST(EventStream, ThirtyTwoWaitingBehindBlockedHandler_NextPublishIsQueueFull) {
  Recorder seen;
  Latch started, release;
  auto stream = EventStream::create<Tick>();
  ASSERT_TRUE(stream->registerCallback(1, callback<Tick>([&](const Tick& t) {
                                         if (t.n == 0) {
                                           started.open();
                                           release.wait();
                                         }
                                         seen.add(t.n);
                                       })));
  stream->publish(boost::any(Tick{0}));
  ASSERT_TRUE(started.wait());

  for (int i = 1; i <= 32; ++i)
    stream->publish(boost::any(Tick{i}));
  try {
    stream->publish(boost::any(Tick{33}));
    ADD_FAILURE() << "the 33rd waiting payload was accepted";
  } catch (const std::overflow_error& e) {
    EXPECT_STREQ(e.what(), "queue is full");
  }

  release.open();
  ASSERT_TRUE(seen.awaitCount(33));
  // Once the queue drained, publishing works again.
  stream->publish(boost::any(Tick{34}));
  ASSERT_TRUE(seen.awaitCount(34));
  std::vector<int> expected;
  for (int i = 0; i <= 32; ++i)
    expected.push_back(i);
  expected.push_back(34);
  EXPECT_EQ(seen.values(), expected);
}

TEST(EventStream, FullSubscriber_OthersStillServed) {
  Recorder blocked_seen, free_seen;
  Latch started, release;
  auto stream = EventStream::create<Tick>();
  ASSERT_TRUE(stream->registerCallback(1, callback<Tick>([&](const Tick& t) {
                                         if (t.n == 0) {
                                           started.open();
                                           release.wait();
                                         }
                                         blocked_seen.add(t.n);
                                       })));
  ASSERT_TRUE(
      stream->registerCallback(2, callback<Tick>([&](const Tick& t) { free_seen.add(t.n); })));
  stream->publish(boost::any(Tick{0}));
  ASSERT_TRUE(started.wait());
  for (int i = 1; i <= 32; ++i) {
    stream->publish(boost::any(Tick{i}));
    ASSERT_TRUE(free_seen.awaitCount(static_cast<std::size_t>(i) + 1));
  }
  EXPECT_THROW(stream->publish(boost::any(Tick{33})), std::overflow_error);
  ASSERT_TRUE(free_seen.awaitCount(34));
  EXPECT_EQ(free_seen.values().back(), 33);
  release.open();
  ASSERT_TRUE(blocked_seen.awaitCount(33));
}

TEST(EventStream, DifferentStreams_DeliverConcurrently) {
  Latch fast_ran;
  std::atomic<bool> slow_saw_fast{false};
  Recorder slow_done;
  auto slow = EventStream::create<Tick>();
  auto fast = EventStream::create<Other>();
  // The slow handler returns only once the other stream's handler has run:
  // with serialised delivery it would give up after the guard.
  ASSERT_TRUE(slow->registerCallback(1, callback<Tick>([&](const Tick& t) {
                                       slow_saw_fast.store(fast_ran.wait());
                                       slow_done.add(t.n);
                                     })));
  ASSERT_TRUE(fast->registerCallback(1, callback<Other>([&](const Other&) { fast_ran.open(); })));
  slow->publish(boost::any(Tick{1}));
  fast->publish(boost::any(Other{1}));
  ASSERT_TRUE(slow_done.awaitCount(1));
  EXPECT_TRUE(slow_saw_fast.load());
}

TEST(EventStream, UnregisterCallback_StopsDelivery) {
  Recorder one, two;
  auto stream = EventStream::create<Tick>();
  ASSERT_TRUE(stream->registerCallback(1, callback<Tick>([&](const Tick& t) { one.add(t.n); })));
  ASSERT_TRUE(stream->registerCallback(2, callback<Tick>([&](const Tick& t) { two.add(t.n); })));
  stream->publish(boost::any(Tick{1}));
  ASSERT_TRUE(one.awaitCount(1));
  ASSERT_TRUE(two.awaitCount(1));

  // Returns once subscriber 1's delivery thread is gone.
  stream->unregisterCallback(1);
  EXPECT_EQ(stream->callbackCount(), 1u);
  stream->publish(boost::any(Tick{2}));
  ASSERT_TRUE(two.awaitCount(2));
  EXPECT_EQ(one.values(), (std::vector<int>{1}));
  stream->unregisterCallback(1);  // unknown id: nothing
  stream->unregisterCallback(2);
  EXPECT_EQ(stream->callbackCount(), 0u);
  EXPECT_NO_THROW(stream->publish(boost::any(Tick{3})));
  EXPECT_EQ(two.values(), (std::vector<int>{1, 2}));
}

TEST(EventStream, WrongTypes_Rejected) {
  auto stream = EventStream::create<Tick>();
  EXPECT_THROW(stream->registerCallback(1, callback<Other>([](const Other&) {})),
               boost::bad_any_cast);
  EXPECT_EQ(stream->callbackCount(), 0u);
  EXPECT_THROW(stream->publish(boost::any(Other{1})), std::invalid_argument);
  EXPECT_EQ(stream->type(), std::type_index(typeid(Tick)));
}

TEST(EventStream, ThrowingHandler_ReportedAndDeliveryGoesOn) {
  Recorder seen;
  auto stream = EventStream::create<Tick>();
  ASSERT_TRUE(stream->registerCallback(1, callback<Tick>([&](const Tick& t) {
                                         seen.add(t.n);
                                         if (t.n == 1)
                                           throw std::runtime_error("boom");
                                       })));
  testing::internal::CaptureStderr();
  stream->publish(boost::any(Tick{1}));
  stream->publish(boost::any(Tick{2}));
  ASSERT_TRUE(seen.awaitCount(2));
  // The handler of 2 ran after the report of 1 was written.
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "event handler failed: boom\n");
  EXPECT_EQ(seen.values(), (std::vector<int>{1, 2}));
}

TEST(EventBus, Unsubscribe_RemovesIdFromEveryStream) {
  Recorder ticks, others;
  EventBus bus;
  ASSERT_TRUE(bus.findOrCreateStream<Tick>()->registerCallback(
      4, callback<Tick>([&](const Tick& t) { ticks.add(t.n); })));
  ASSERT_TRUE(bus.findOrCreateStream<Other>()->registerCallback(
      4, callback<Other>([&](const Other& o) { others.add(o.n); })));
  ASSERT_TRUE(bus.findOrCreateStream<Other>()->registerCallback(
      5, callback<Other>([&](const Other& o) { others.add(100 + o.n); })));

  bus.unsubscribe(4);
  EXPECT_EQ(bus.findStream<Tick>()->callbackCount(), 0u);
  EXPECT_EQ(bus.findStream<Other>()->callbackCount(), 1u);
  bus.findStream<Tick>()->publish(boost::any(Tick{1}));
  bus.findStream<Other>()->publish(boost::any(Other{1}));
  ASSERT_TRUE(others.awaitCount(1));
  EXPECT_EQ(others.values(), (std::vector<int>{101}));
  EXPECT_TRUE(ticks.values().empty());
}

TEST(EventBus, FindOrCreateFromManyThreads_YieldsOneStream) {
  EventBus bus;
  EXPECT_FALSE(bus.findStream<Tick>());
  constexpr int kThreads = 8;
  std::vector<boost::shared_ptr<EventStream>> got(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < kThreads)
        std::this_thread::yield();
      got[i] = bus.findOrCreateStream<Tick>();
    });
  }
  for (auto& t : threads)
    t.join();
  const auto stream = bus.findStream<Tick>();
  ASSERT_TRUE(stream);
  for (const auto& g : got)
    EXPECT_EQ(g, stream);
  EXPECT_FALSE(bus.findStream<Other>());
}

TEST(EventBus, AddStream_SecondOfSameType_ReturnsFirst) {
  EventBus bus;
  auto first = EventStream::create<Tick>();
  auto second = EventStream::create<Tick>();
  EXPECT_EQ(bus.addStream(first), first);
  EXPECT_EQ(bus.addStream(second), first);
  EXPECT_EQ(bus.findStream(typeid(Tick)), first);
}

}  // namespace
