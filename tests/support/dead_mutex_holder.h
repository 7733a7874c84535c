// Leaves "VorelNamedMutex" locked by a process that died holding it, as a
// crashed peer of the host would.
#pragma once

namespace vorel_test {

// Forks a child that takes the existing named mutex and is killed by SIGKILL
// while it holds it; returns once the child is gone. The child only waits on
// the semaphore (opened by the parent before the fork), so the threads of the
// test process do not matter. False when the mutex does not exist or the
// child did not die that way.
bool leaveNamedMutexHeldByDeadProcess();

}  // namespace vorel_test
