// PiMutex: a mutex with priority inheritance (PTHREAD_PRIO_INHERIT). While a
// real-time thread waits for it, the thread that holds it runs at the
// waiter's priority, so a holder with normal scheduling that the machine's
// load has preempted cannot hold a real-time thread up for a time slice. The
// simulated controller guards its state with it, since the device's
// force-control thread (real-time) and the simulator's own threads (normal)
// share that state. A BasicLockable: use it with std::lock_guard,
// std::unique_lock and std::condition_variable_any.
#pragma once

#include <pthread.h>

#include <system_error>

namespace vorel_sim {

class PiMutex {
 public:
  PiMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    const int error = pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
    if (error != 0)
      throw std::system_error(error, std::system_category(), "PiMutex");
  }
  ~PiMutex() { pthread_mutex_destroy(&mutex_); }
  PiMutex(const PiMutex&) = delete;
  PiMutex& operator=(const PiMutex&) = delete;

  void lock() {
    const int error = pthread_mutex_lock(&mutex_);
    if (error != 0)
      throw std::system_error(error, std::system_category(), "PiMutex::lock");
  }
  void unlock() { pthread_mutex_unlock(&mutex_); }
  bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }

 private:
  pthread_mutex_t mutex_;
};

}  // namespace vorel_sim
