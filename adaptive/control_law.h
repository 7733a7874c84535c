// The force-control law of the force-control thread, as pure functions of
// their inputs. One step per 2 ms controller cycle while force control runs,
// in the law's frame (the TCP's axes or the robot base's):
//
//   R(i) <- R(i) (1 - s) + T(i) s                       set-point smoothing
//   e(i) = d(Y(i) - R(i), b)                            error past the dead band
//   vt(i) = e(i)     * translation_gain * 0.001 * A(i)  i = 0..2
//   vr(i) = e(3 + i) * rotation_gain    * 0.024 * A(3 + i)
//   position_offset += 0.002 * vt     (translation enabled)
//   rotation_offset += 0.002 * vr     (rotation enabled)
#pragma once

#include <array>
#include <cstdint>

#include "comm/shared_records.h"
#include "filters/wrench.h"
#include "host/geometry.h"

namespace vorel_device {
namespace control_law {

constexpr double kCycleTime = 0.002;         // s: integration step per controller cycle
constexpr double kTranslationScale = 0.001;  // multiplies translation_gain
constexpr double kRotationScale = 0.024;     // multiplies rotation_gain

// Per-axis factors in wrench order (fx, fy, fz, tx, ty, tz).
using AxisFactors = std::array<std::int32_t, 6>;

// track_reference <- track_reference (1 - s) + track_wrench s, per component.
void smoothSetPoint(Wrench& track_reference, const Wrench& track_wrench, double track_smoothing);

// d(error, band): sign(error) max(0, |error| - band); `band` >= 0.
double deadband(double error, double band);

// vt, per second (m/s for the host's pose units); `band` the force dead band, N.
hx4rc_api::Vector translationalRate(const Wrench& filtered, const Wrench& track_reference,
                                    const Gains& gains, const AxisFactors& axes, double band = 0.0);
// vr, per second (rad/s); `band` the torque dead band, N m.
hx4rc_api::Vector rotationalRate(const Wrench& filtered, const Wrench& track_reference,
                                 const Gains& gains, const AxisFactors& axes, double band = 0.0);

// The per-axis factor k = gain x scale x A(i) of each half: (m/s) per N,
// (rad/s) per N m.
hx4rc_api::Vector translationalFactors(const Gains& gains, const AxisFactors& axes);
hx4rc_api::Vector rotationalFactors(const Gains& gains, const AxisFactors& axes);

// Y: filtered wrench (N, N m); T: track wrench (target); R: its smoothed copy;
// s: track_smoothing per cycle; A: enabled-axis factors (0 off, 1 on, others
// scale, negative reverses); d(x, b) = sign(x) max(0, |x| - b), the dead band
// b (N or N m, per axis; 0: none, then e = Y - R exactly). The offsets are in
// m and rad.
//
// Compliance (a virtual stiffness K and mass M per half, complianceStep):
// with k = gain x scale x A(i) per axis, the offset x obeys
//   M x'' + x' / k + K x = e
// integrated by implicit (backward) Euler at 2 ms, stable for every K, M >= 0:
//   v' = (M k v + dt (k e - k K x)) / (M k + dt + dt^2 K k),  x' = x + dt v'
// With K = M = 0 it is the integral law above, computed exactly as above.
//
// A half of the offset is integrated only when the result is finite: a NaN
// or infinite rate (from a NaN wrench, gain or set-point) leaves that half at
// its last value, so that no non-finite number reaches the drive. With finite
// inputs the law is exactly the one above; the speed limit, the envelope and
// the returns to zero are the offset shaping's (adaptive/offset_shaping.h).
//
// One half's virtual stiffness (N/m or N m/rad) and mass (kg or kg m^2).
struct Compliance {
  double stiffness = 0.0;
  double mass = 0.0;
  bool none() const { return stiffness == 0.0 && mass == 0.0; }
};

// One implicit-Euler step of M x'' + x' / k + K x = e (see above) from the
// offset `offset` moving at `velocity`, with `rate` = k e per axis and
// `factors` k. Without compliance it is integrate(offset, rate). False, and
// `offset` unchanged, when the result is not finite.
bool complianceStep(hx4rc_api::Vector& offset, const hx4rc_api::Vector& velocity,
                    const hx4rc_api::Vector& rate, const hx4rc_api::Vector& factors,
                    const Compliance& compliance);

// offset <- offset + 0.002 rate when every component of the result is finite;
// returns false, and leaves offset unchanged, otherwise.
bool integrate(hx4rc_api::Vector& offset, const hx4rc_api::Vector& rate);

}  // namespace control_law
}  // namespace vorel_device
