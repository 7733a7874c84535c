// Event buses and streams of the host (libhx4_program_api).
//
// A bus holds one stream per payload type. A stream delivers each published
// payload to every registered subscriber, asynchronously: for each subscriber
// id it runs one delivery thread with a queue of at most 32 waiting payloads,
// so the callbacks of one stream and subscriber run one after another, in
// publication order, while different streams deliver concurrently.
#pragma once

#include <boost/any.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <typeindex>

namespace hx4_program_api_internals {

class EventStream {
 public:
  static constexpr std::size_t kMaxWaiting = 32;

  // A stream for payloads of type T; callbacks are std::function<void(const T&)>
  // held in a boost::any.
  template <class T>
  static boost::shared_ptr<EventStream> create() {
    return boost::shared_ptr<EventStream>(new EventStream(
        typeid(T), [](const boost::any& callback) -> Invoker {
          auto fn = boost::any_cast<std::function<void(const T&)>>(callback);
          return [fn](const boost::any& payload) { fn(boost::any_cast<const T&>(payload)); };
        }));
  }

  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  std::type_index type() const { return type_; }

  // Registers `callback` (a boost::any holding std::function<void(const T&)>)
  // for subscriber `id` and starts its delivery thread. A second registration
  // under the same id is ignored: returns false. A callback of another type
  // throws boost::bad_any_cast.
  bool registerCallback(unsigned id, const boost::any& callback);
  // Removes the subscriber: its queued payloads are dropped and the call waits
  // for a callback in progress to return. Not to be called from that callback.
  void unregisterCallback(unsigned id);
  std::size_t callbackCount() const;

  // Queues `payload` (a boost::any holding a T) for every subscriber. When a
  // subscriber already has 32 payloads waiting, that subscriber does not get
  // it and publish throws std::overflow_error("queue is full") after serving
  // the others.
  void publish(const boost::any& payload);

 private:
  using Invoker = std::function<void(const boost::any&)>;
  using Adapter = std::function<Invoker(const boost::any&)>;
  class Executor;

  EventStream(std::type_index type, Adapter adapter);

  std::type_index type_;
  Adapter adapter_;
  mutable std::mutex mutex_;
  std::map<unsigned, std::unique_ptr<Executor>> executors_;
};

class EventBus {
 public:
  EventBus() = default;
  EventBus(const EventBus&) = delete;
  EventBus& operator=(const EventBus&) = delete;

  // The stream for a payload type, or an empty pointer when none exists yet.
  boost::shared_ptr<EventStream> findStream(std::type_index type) const;
  template <class T>
  boost::shared_ptr<EventStream> findStream() const {
    return findStream(typeid(T));
  }
  // Enters `stream` under the bus's lock and returns the bus's stream of that
  // type: `stream` itself, or one entered before it by another thread.
  boost::shared_ptr<EventStream> addStream(const boost::shared_ptr<EventStream>& stream);
  // The stream for T, created and entered when the bus has none.
  template <class T>
  boost::shared_ptr<EventStream> findOrCreateStream() {
    if (auto stream = findStream<T>()) return stream;
    return addStream(EventStream::create<T>());
  }
  // Removes subscriber `id` from every stream of the bus.
  void unsubscribe(unsigned id);

 private:
  mutable std::mutex mutex_;
  std::map<std::type_index, boost::shared_ptr<EventStream>> streams_;
};

}  // namespace hx4_program_api_internals
