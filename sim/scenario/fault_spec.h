// The --fault option: one line fault for the sensor emulator, as text.
//
//   form                   fault                                     from / to
//   crc:P[@T[-E]]          each frame has a wrong CRC with           T s to E s (default:
//                          probability P                             from 0, no end)
//   bytes:P[@T[-E]]        each frame byte is dropped with           T s to E s
//                          probability P, and a random byte is
//                          inserted after it with probability P
//   garbage:D[@T]          D of random bytes instead of frames       from T s, D long
//   hangup[@T]             the sensor closes the line for good       at T s
//   status:BITS:P[@T[-E]]  each frame carries status BITS (e.g.      T s to E s
//                          0x04) with probability P, a valid CRC
//                          and a grossly wrong wrench
//   nan[@T]                one frame with fz = NaN, valid CRC        at T s
//   mutex-holder[@T]       a child process takes "VorelNamedMutex"   at T s
//                          and dies holding it
//   signals[@T]            SIGUSR1 to vorel-sim at 1 kHz for 1 s     from T s
//                          (handler without SA_RESTART)
//   activator-kill[@T]     SIGKILL to the activating process of      at T s
//                          --processes 2
//
// P lies in (0, 1]; times are seconds after the robot program starts, with an
// optional unit: "2", "2s", "2.5s", "500ms"; a duration D needs its unit
// ("1s", "250ms"); E lies after T. Pure: nothing is applied here.
#pragma once

#include <string>
#include <vector>

#include "sim/scenario/fault_step.h"

namespace vorel_sim {

struct FaultSpecResult {
  std::vector<FaultStep> steps;  // in the order of their times; empty on error
  std::string error;             // set when the text is no fault
};

FaultSpecResult parseFaultSpec(const std::string& text);

}  // namespace vorel_sim
