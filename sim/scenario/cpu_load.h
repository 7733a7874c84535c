// CpuLoad: CPU-bound child processes that load the machine while the device
// runs (vorel-sim --load N), to see whether the force-control thread still
// keeps every controller cycle. Each child spins on its own until it is
// ended; a child whose parent dies is ended by the kernel.
//
// Threads: owner's thread only.
#pragma once

#include <sys/types.h>

#include <vector>

namespace vorel_sim {

class CpuLoad {
 public:
  // Starts `processes` children (fewer when fork fails).
  explicit CpuLoad(int processes);
  // Ends and reaps every child.
  ~CpuLoad();
  CpuLoad(const CpuLoad&) = delete;
  CpuLoad& operator=(const CpuLoad&) = delete;

  int running() const { return static_cast<int>(children_.size()); }

 private:
  std::vector<pid_t> children_;
};

}  // namespace vorel_sim
