// Whether this process may run threads with the real-time policy SCHED_FIFO
// (CAP_SYS_NICE, or an rtprio limit that allows it): asked of a throw-away
// thread, so the caller's own scheduling is not touched.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <thread>

namespace vorel_test {

inline bool fifoPermitted(int priority = 1) {
  int result = -1;
  std::thread probe([&] {
    sched_param param{};
    param.sched_priority = priority;
    result = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  });
  probe.join();
  return result == 0;
}

}  // namespace vorel_test
