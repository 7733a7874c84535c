#include "sim/scenario/cpu_load.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace vorel_sim {

CpuLoad::CpuLoad(int processes) {
  for (int i = 0; i < processes; ++i) {
    const pid_t child = fork();
    if (child < 0)
      break;
    if (child == 0) {
      // Only async-signal-safe calls: the parent has threads.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      volatile unsigned long spins = 0;
      for (;;)
        spins = spins + 1;
    }
    children_.push_back(child);
  }
}

CpuLoad::~CpuLoad() {
  for (const pid_t child : children_)
    kill(child, SIGKILL);
  for (const pid_t child : children_) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace vorel_sim
