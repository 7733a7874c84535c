#include "host/events.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <stdexcept>
#include <thread>
#include <vector>

namespace hx4_program_api_internals {

// One subscriber's delivery thread and its queue of waiting payloads.
class EventStream::Executor {
 public:
  explicit Executor(Invoker invoker) : invoker_(std::move(invoker)), thread_([this] { run(); }) {}

  ~Executor() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    wake_.notify_all();
    thread_.join();
  }

  // False when kMaxWaiting payloads are already waiting.
  bool post(const boost::any& payload) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.size() >= kMaxWaiting) return false;
      queue_.push_back(payload);
    }
    wake_.notify_one();
    return true;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      boost::any payload = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      try {
        invoker_(payload);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "event handler failed: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "event handler failed\n");
      }
      lock.lock();
    }
  }

  Invoker invoker_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<boost::any> queue_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the rest is built
};

EventStream::EventStream(std::type_index type, Adapter adapter)
    : type_(type), adapter_(std::move(adapter)) {}

EventStream::~EventStream() {
  std::map<unsigned, std::unique_ptr<Executor>> executors;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    executors.swap(executors_);
  }
}

bool EventStream::registerCallback(unsigned id, const boost::any& callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (executors_.count(id) != 0) return false;
  Invoker invoker = adapter_(callback);  // throws boost::bad_any_cast on a wrong type
  executors_.emplace(id, std::make_unique<Executor>(std::move(invoker)));
  return true;
}

void EventStream::unregisterCallback(unsigned id) {
  std::unique_ptr<Executor> executor;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = executors_.find(id);
    if (it == executors_.end()) return;
    executor = std::move(it->second);
    executors_.erase(it);
  }
  // Joins the delivery thread outside the stream's lock.
}

std::size_t EventStream::callbackCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return executors_.size();
}

void EventStream::publish(const boost::any& payload) {
  if (std::type_index(payload.type()) != type_) {
    throw std::invalid_argument("EventStream::publish: payload of another type");
  }
  bool full = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : executors_) {
      if (!entry.second->post(payload)) full = true;
    }
  }
  if (full) throw std::overflow_error("queue is full");
}

boost::shared_ptr<EventStream> EventBus::findStream(std::type_index type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = streams_.find(type);
  return it == streams_.end() ? boost::shared_ptr<EventStream>() : it->second;
}

boost::shared_ptr<EventStream> EventBus::addStream(const boost::shared_ptr<EventStream>& stream) {
  std::lock_guard<std::mutex> lock(mutex_);
  return streams_.emplace(stream->type(), stream).first->second;
}

void EventBus::unsubscribe(unsigned id) {
  std::vector<boost::shared_ptr<EventStream>> streams;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : streams_) streams.push_back(entry.second);
  }
  for (auto& stream : streams) stream->unregisterCallback(id);
}

}  // namespace hx4_program_api_internals
