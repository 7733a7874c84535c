// The mutex-holder fault: a child process that opens the device's named mutex
// "VorelNamedMutex", takes it and dies holding it (_exit), as a crashed peer
// of the host would. The mutex is a named semaphore that nobody releases for
// a dead holder, so it stays taken for the rest of the segment's life.
//
// The parent forks and the child only execs vorel-sim again in its hidden
// holder role, `--role mutex-holder` (nothing but async-signal-safe calls
// between fork and exec); the parent then waits for the child's end.
#pragma once

#include <string>

namespace vorel_sim {

// Parent side: runs the holder and waits for it (EINTR-safe). Returns what
// happened, for the fault log: "process N took VorelNamedMutex and died
// holding it", or why not. `taken` is set when the child took the mutex.
std::string runMutexHolder(bool& taken);

// Child side (vorel-sim --role mutex-holder): opens the mutex, takes it within
// the device's bound and _exits holding it with status 0; status 3 when it
// could not take it, 4 when the mutex does not exist.
int holdNamedMutexAndDie();

}  // namespace vorel_sim
