// Tool-load identification: the linear least-squares fit of the gravity model
// that force control compensates with (wrench_processing.h), from the
// sensor's raw wrench averaged in a few orientations of the flange.
//
// Model, sensor axes counted as flange axes (as gravity compensation does),
// for a sample with gravity g (m/s², flange axes: the flange's rotation
// transposed times (0, 0, -9.81)):
//   force  F = m g + bF
//   torque T = c x (m g) + bT = -g x p + bT,   p = m c
// with the tool's mass m (kg), its centre of gravity c (m, from the sensor's
// origin) and the sensor's own bias bF (N), bT (N m). Ten unknowns (m, p, bF,
// bT), linear; six equations per sample.
//
// Which samples determine every unknown: the mass and the force bias need two
// different gravity directions; p and the torque bias are seen only through
// differences of gravity directions, of which two must not be parallel. So
// the samples need three distinct gravity directions (three distinct points
// of a sphere never lie on one line, so their differences are never all
// parallel): directions that are all parallel, the same or opposite, leave
// the centre of gravity along them indistinguishable from the torque bias.
// The fit tells by the conditioning of the least-squares system: with its
// columns scaled to unit length, it refuses when the smallest eigenvalue of
// AᵀA is below kMinReciprocalCondition times the largest.
//
// Runs on the robot program's thread: it allocates (the samples' residuals)
// and is never called from the force-control cycle.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "adaptive/wrench_processing.h"  // kGravity, as gravity compensation uses

namespace vorel_device {
namespace tool_load {

// Smallest accepted ratio of the normal matrix's smallest to largest
// eigenvalue (columns scaled to unit length): 1e-8, a condition number of the
// least-squares system of 1e4.
constexpr double kMinReciprocalCondition = 1e-8;
constexpr std::size_t kMinSamples = 3;

using Vec3 = std::array<double, 3>;

// One pose: the mean raw wrench (no bias subtracted) and gravity in sensor
// axes.
struct Sample {
  Vec3 force{};    // N
  Vec3 torque{};   // N m
  Vec3 gravity{};  // m/s², 9.81 long
};

struct Fit {
  double mass = 0.0;       // kg
  Vec3 cog{};              // m, from the sensor's origin, sensor axes
  Vec3 force_bias{};       // N
  Vec3 torque_bias{};      // N m
  double reciprocal_condition = 0.0;  // smallest / largest eigenvalue, scaled
  // Per sample: the norm of what the fit does not explain.
  std::vector<double> force_residual;   // N
  std::vector<double> torque_residual;  // N m
};

struct Result {
  bool ok = false;
  std::string refusal;  // why not, when !ok
  Fit fit;
};

// Gravity in flange (= sensor) axes for a flange whose rotation to world
// axes is `rotation` (row-major 3 x 3): rotationᵀ (0, 0, -9.81).
Vec3 gravityInFlange(const std::array<double, 9>& rotation);

// The least-squares fit; refuses fewer than kMinSamples samples, samples that
// are not finite, a system whose conditioning is below the bound above, and a
// fitted mass that is not above 0.
Result fit(const std::vector<Sample>& samples);

// The model's wrench for a sample's gravity with the fitted load and bias.
void predict(const Fit& fit, const Vec3& gravity, Vec3& force, Vec3& torque);

}  // namespace tool_load
}  // namespace vorel_device
