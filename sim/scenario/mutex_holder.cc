#include "sim/scenario/mutex_holder.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "comm/shared_segment.h"
#include "sim/scenario/summary.h"

namespace vorel_sim {

namespace seg = vorel_device::shared_segment;

std::string runMutexHolder(bool& taken) {
  taken = false;
  // Everything the child needs is prepared before fork: a multi-threaded
  // parent's child may only make async-signal-safe calls until exec.
  char exe[] = "/proc/self/exe";
  char name[] = "vorel-sim";
  char option[] = "--role";
  char role[] = "mutex-holder";
  char* const argv[] = {name, option, role, nullptr};
  const pid_t pid = ::fork();
  if (pid < 0)
    return fmt("fork failed (errno %d): no holder", errno);
  if (pid == 0) {
    ::execv(exe, argv);
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return fmt("waiting for the holder process %d failed (errno %d)", pid, errno);
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  taken = code == 0;
  switch (code) {
    case 0:
      return fmt("process %d took VorelNamedMutex and died holding it", pid);
    case 3:
      return fmt("process %d could not take VorelNamedMutex within %d ms", pid, seg::kLockWaitMs);
    case 4:
      return fmt("process %d found no VorelNamedMutex", pid);
    default:
      return fmt("the holder process %d ended with status %d", pid, code);
  }
}

int holdNamedMutexAndDie() {
  try {
    const auto mutex = seg::openMutex();
    try {
      const seg::Lock lock(*mutex);
      ::_exit(0);  // still holding it: the destructor never runs
    } catch (const seg::LockTimeout&) {
      ::_exit(3);
    }
  } catch (const std::exception&) {
    ::_exit(4);
  }
}

}  // namespace vorel_sim
