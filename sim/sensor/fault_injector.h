// FaultInjector: the line faults the sensor emulator puts on request into the
// byte stream it sends, driven by a seeded pseudo-random generator so that a
// run with the same seed and the same requests produces the same bytes.
//
//   fault             effect on the line
//   CRC, next N       the next N frames carry a wrong CRC (bitwise inverted)
//   CRC, probability  each later frame carries a wrong CRC with probability p
//   byte drop         each frame byte is left out with probability p
//   byte insert       after each frame byte a random byte follows with
//                     probability p
//   garbage           random bytes (every value 0 to 255 equally likely,
//                     0xAA included)
//   status            each later frame carries status bits B with
//                     probability p, a valid CRC and the wrench kBadWrench
//                     (1000 N, 1000 N m on every axis), so that processing
//                     one would show
//   NaN, next frame   the next frame carries fz = NaN, with a valid CRC
//
// Frame faults apply to measurement frames only, never to acknowledgements.
// Probabilities are checked on entry: a value outside [0, 1], or NaN, throws
// std::invalid_argument and leaves the setting as it was.
//
// Not thread-safe: the emulator calls it under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "comm/rx_frame.h"
#include "filters/wrench.h"

namespace vorel_sim {

class FaultInjector {
 public:
  // What one call added to the line.
  struct Tally {
    bool crc_corrupted = false;
    std::uint64_t bytes_dropped = 0;
    std::uint64_t bytes_inserted = 0;
  };

  // What `spoil` did to one frame's measurement.
  struct Spoiled {
    bool status = false;  // status bits set, wrench replaced by kBadWrench
    bool nan = false;     // fz replaced by NaN
  };
  static constexpr double kBadWrench = 1000.0;  // N and N m, every axis of a status frame

  explicit FaultInjector(std::uint64_t seed);

  void corruptNextCrcs(std::uint32_t frames) { crc_next_ += frames; }
  void setCrcErrorProbability(double p);
  void setByteDropProbability(double p);
  void setByteInsertProbability(double p);
  // Status bits `bits` on each frame with probability p (0: off).
  void setStatusFault(std::uint16_t bits, double p);
  void nanNextFrame() { nan_next_ = true; }
  // Turns every fault off (pending CRC corruptions included). The generator
  // keeps its state.
  void clear();

  std::uint32_t pendingCrcCorruptions() const { return crc_next_; }
  double crcErrorProbability() const { return crc_probability_; }
  double byteDropProbability() const { return drop_probability_; }
  double byteInsertProbability() const { return insert_probability_; }

  // Applies the status and NaN faults to the measurement of the next frame,
  // before the frame (and its CRC) is built. The generator is drawn only
  // while the status fault is on.
  Spoiled spoil(vorel_device::Wrench& wrench, std::uint16_t& status);
  // Appends the line bytes of `frame` to `out`, with this frame's faults:
  // first the CRC (the next-N count before the probability), then byte drops
  // and insertions. The generator is drawn only for faults that are on.
  Tally encode(const vorel_device::RxFrame& frame, std::vector<std::uint8_t>& out);
  // Appends `count` random bytes to `out`.
  void garbage(std::size_t count, std::vector<std::uint8_t>& out);

 private:
  // Uniform in [0, 1) from the top 53 bits of one draw.
  double uniform();
  bool chance(double p);
  static double checkedProbability(double p, const char* what);

  std::mt19937_64 rng_;
  std::uint32_t crc_next_ = 0;
  double crc_probability_ = 0.0;
  double drop_probability_ = 0.0;
  double insert_probability_ = 0.0;
  std::uint16_t status_bits_ = 0;
  double status_probability_ = 0.0;
  bool nan_next_ = false;
};

}  // namespace vorel_sim
