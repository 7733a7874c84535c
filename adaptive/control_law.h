// The force-control law of the force-control thread, as pure functions of
// their inputs. One step per 2 ms controller cycle while force control runs:
//
//   R(i) <- R(i) (1 - s) + T(i) s                       set-point smoothing
//   vt(i) = (Y(i)     - R(i))     * translation_gain * 0.001 * A(i)   i = 0..2
//   vr(i) = (Y(3 + i) - R(3 + i)) * rotation_gain    * 0.024 * A(3 + i)
//   position_offset += 0.002 * vt     (translation enabled)
//   rotation_offset += 0.002 * vr     (rotation enabled)
//
// Y: filtered wrench (N, N m, TCP frame); T: track wrench (target); R: its
// smoothed copy; s: track_smoothing per cycle; A: enabled-axis factors (0 off,
// 1 on, others scale, negative reverses). The offsets are the drive's
// reference offset in TCP axes: position in m, roll-pitch-yaw in rad.
//
// A half of the offset is integrated only when the result is finite: a NaN
// or infinite rate (from a NaN wrench, gain or set-point) leaves that half at
// its last value, so that no non-finite number reaches the drive. With finite
// inputs the law is exactly the one above; the speed limit, the envelope and
// the returns to zero are the offset shaping's (adaptive/offset_shaping.h).
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

// vt, per second (m/s for the host's pose units).
hx4rc_api::Vector translationalRate(const Wrench& filtered, const Wrench& track_reference,
                                    const Gains& gains, const AxisFactors& axes);
// vr, per second (rad/s).
hx4rc_api::Vector rotationalRate(const Wrench& filtered, const Wrench& track_reference,
                                 const Gains& gains, const AxisFactors& axes);

// offset <- offset + 0.002 rate when every component of the result is finite;
// returns false, and leaves offset unchanged, otherwise.
bool integrate(hx4rc_api::Vector& offset, const hx4rc_api::Vector& rate);

}  // namespace control_law
}  // namespace vorel_device
