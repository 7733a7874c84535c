// FaultStep: one step of a fault plan (see FaultPlan): at a time after the
// plan's start, switch a fault of the sensor emulator on or off, or disturb
// the host process (a dead holder of the named mutex, a storm of signals).
#pragma once

#include <string>

namespace vorel_sim {

struct FaultStep {
  enum class Kind {
    CorruptCrcs,     // value: number of frames sent with a wrong CRC
    DropBytes,       // value: probability per frame byte of leaving it out
    InsertBytes,     // value: probability per frame byte of a random byte after it
    GarbageBurst,    // value: ms of random bytes instead of frames
    Clear,           // every fault off
    CrcProbability,  // value: probability per frame of a wrong CRC (0: off)
    HangUp,          // the emulator closes the line for good
    StatusFrames,    // value: probability per frame of status `bits` (0: off)
    NanFrame,        // one frame with fz = NaN
    MutexHolder,     // a child process takes "VorelNamedMutex" and dies holding it
    Signals,         // value: s of SIGUSR1 at 1 kHz to this process
    ActivatorKill,   // SIGKILL to the activating process (--processes 2)
  };
  double at_s = 0.0;  // s after the plan's start
  Kind kind = Kind::Clear;
  double value = 0.0;
  unsigned bits = 0;  // StatusFrames: the status word of the flagged frames

  std::string describe() const;
};

}  // namespace vorel_sim
