// PiMutex: a process-private mutex with priority inheritance, for state that
// a real-time thread shares with a thread of normal priority. While the
// real-time thread waits for it, the holder runs at the waiter's priority, so
// the wait lasts as long as the holder's critical section and no longer
// (threads of middle priority cannot starve the holder). BasicLockable: use
// it with std::lock_guard.
#pragma once

#include <pthread.h>

namespace tmvz_periodic_thread {

class PiMutex {
 public:
  PiMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~PiMutex() { pthread_mutex_destroy(&mutex_); }
  PiMutex(const PiMutex&) = delete;
  PiMutex& operator=(const PiMutex&) = delete;

  void lock() { pthread_mutex_lock(&mutex_); }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

}  // namespace tmvz_periodic_thread
