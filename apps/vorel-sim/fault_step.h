// FaultStep: one step of a fault plan (see FaultPlan): at a time after the
// plan's start, switch a line fault of the sensor emulator on or off.
#pragma once

#include <string>

namespace vorel_sim_app {

struct FaultStep {
  enum class Kind {
    CorruptCrcs,     // value: number of frames sent with a wrong CRC
    DropBytes,       // value: probability per frame byte of leaving it out
    InsertBytes,     // value: probability per frame byte of a random byte after it
    GarbageBurst,    // value: ms of random bytes instead of frames
    Clear,           // every fault off
    CrcProbability,  // value: probability per frame of a wrong CRC (0: off)
    HangUp,          // the emulator closes the line for good
  };
  double at_s = 0.0;  // s after the plan's start
  Kind kind = Kind::Clear;
  double value = 0.0;

  std::string describe() const;
};

}  // namespace vorel_sim_app
