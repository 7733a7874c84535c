// The force limits of force control: pure code of its inputs, one step per
// 2 ms controller cycle; no host, segment or thread.
//
// Checked every cycle on the gravity-compensated, bias-free wrench in the TCP
// frame before any user filter (so no filter setting can hide a force): the
// force magnitude against ForceLimits::force (N), the torque magnitude
// against ForceLimits::torque (N m). A frame the sensor flags overrange
// counts as over the limit too.
//
// The control law runs as if its target along the force (u = F / |F|) were
// at most the limit: its error along u is never less than |F| - L.
//
//   e = Y - R                     the law's error (filtered wrench - set-point)
//   e <- e + max(0, (|F| - L) - e.u) u
#pragma once

#include <cstdint>

#include "comm/shared_records.h"
#include "filters/wrench.h"
#include "host/geometry.h"

namespace vorel_device {
namespace force_limit {

constexpr int kQuietCycles = 250;  // 0.5 s within the limits ends an episode

// The limits in force: a value outside (0, max] (from a peer that wrote
// anything else) is replaced by its default, never by "no limit".
ForceLimits effective(const ForceLimits& limits);

// Magnitudes of the force (components 0..2, N) and torque (3..5, N m).
double forceNorm(const Wrench& w);
double torqueNorm(const Wrench& w);

// The offset moves along +e (the tool yields to the force it feels), so +u is
// out of the force. Over the limit the error along u is at least the excess:
// the tool backs out at gain x excess; below it, a target beyond the limit
// (a limit lowered under a hold) presses only until the force reaches the
// limit. With a target below the limit and a force well below it nothing
// changes. While over the limit, no axis of the offset steps against the
// force's component on it:
//
//   step_i <- 0  where step_i u_i < 0
//
// The same holds for the torque half with T and the rotation. An episode
// begins with the first cycle over a limit and ends after kQuietCycles
// cycles within every limit, so that a force held at the limit makes one
// episode.
//
// What one cycle found.
struct Check {
  std::uint32_t flags = 0;    // ForceLimits bits of this cycle
  std::uint32_t started = 0;  // bits that began an episode in this cycle
  double force = 0.0;         // N, |F| of the cycle's wrench (0 without one)
  double torque = 0.0;        // N m
  ForceLimits limits;         // the limits checked against
};

class Guard {
 public:
  // One cycle: `wrench` the bias-free TCP wrench (nullptr before the first
  // usable sample), `overrange` whether the newest frame is flagged so.
  Check update(const Wrench* wrench, bool overrange, const ForceLimits& limits);
  // Bits seen since the current episode began (0 outside an episode).
  std::uint32_t episode() const { return episode_; }
  void reset() { *this = Guard(); }

 private:
  std::uint32_t episode_ = 0;
  int quiet_ = 0;
};

// The set-point the law uses: the reference lowered along the force (or
// torque) so that the error along it is at least |F| - L (see above).
// `wrench` the bias-free TCP wrench the limit was checked on, `filtered` the
// law's input.
Wrench limitedReference(const Wrench& reference, const Wrench& filtered, const Wrench& wrench,
                        const Check& check);

// `wanted` with each axis of its step from `current` that goes against
// `direction`'s component on that axis set to 0.
hx4rc_api::Vector notAgainst(const hx4rc_api::Vector& current, const hx4rc_api::Vector& wanted,
                             const hx4rc_api::Vector& direction);

// Unit vectors of the force (components 0..2) and the torque (3..5) of
// `wrench`; zero when that half is zero.
hx4rc_api::Vector forceDirection(const Wrench& wrench);
hx4rc_api::Vector torqueDirection(const Wrench& wrench);

}  // namespace force_limit
}  // namespace vorel_device
