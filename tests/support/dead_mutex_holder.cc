#include "tests/support/dead_mutex_holder.h"

#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vorel_test {

bool leaveNamedMutexHeldByDeadProcess() {
  // The named mutex is a POSIX named semaphore under the same name.
  sem_t* sem = ::sem_open("/VorelNamedMutex", 0);
  if (sem == SEM_FAILED)
    return false;
  const pid_t child = ::fork();
  if (child == 0) {
    while (::sem_wait(sem) != 0) {
    }
    ::raise(SIGKILL);
    ::_exit(1);
  }
  ::sem_close(sem);
  if (child < 0)
    return false;
  int status = 0;
  if (::waitpid(child, &status, 0) != child)
    return false;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

}  // namespace vorel_test
