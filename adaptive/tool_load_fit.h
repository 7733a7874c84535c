// Tool-load identification: the linear least-squares fit of the gravity model
// that force control compensates with (wrench_processing.h), from the
// sensor's raw wrench averaged in a few orientations of the flange.
//
// Model, in sensor axes, for a sample with gravity g (m/s², sensor axes:
// Rs^T Rf^T (0, 0, -9.81) with the flange's rotation Rf in the world and the
// sensor's pose (Rs, ps) on the flange):
//   force  F = m g + bF
//   torque T = c_s x (m g) + bT = -g x p + bT,   p = m c_s
// with the tool's mass m (kg), its centre of gravity c_s (m, sensor axes,
// from the sensor's origin) and the sensor's own bias bF (N), bT (N m). Ten
// unknowns (m, p, bF, bT), linear; six equations per sample. The host's tool
// load counts the centre of gravity in flange coordinates from the flange
// origin: c = Rs c_s + ps.
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
// Refusal of a disturbed sample (see above).
constexpr double kOutlierRatio = 5.0;
constexpr double kOutlierForce = 0.2;       // N
constexpr std::size_t kMinOthers = 5;       // samples the fit of the others needs
constexpr double kMaxForceResidual = 2.0;   // N
constexpr double kMaxTorqueResidual = 0.2;  // N m

using Vec3 = std::array<double, 3>;

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
// A disturbed sample (the tool touching something, a pulled cable, a robot
// still swinging) is refused rather than fitted, by two rules on the norms of
// what the model does not explain (residuals):
//   1. Leave one out, with at least kMinOthers other samples: for each sample
//      whose removal leaves a set that still determines every unknown, the
//      others are fitted alone. The sample is disturbed when its force
//      residual against that fit is more than kOutlierRatio (5) times the
//      largest force residual of the others and more than kOutlierForce
//      (0.2 N). A plain least-squares fit spreads a disturbance over every
//      sample (a 10 N contact in one of six samples leaves it 7.7 N and the
//      others 1.3 to 2.1 N), the fit of the others is not dragged by it (it
//      leaves them at the noise). Only the force is compared: any contact or
//      pull shows in it, while the torque predicted for an orientation the
//      others do not contain extrapolates the centre of gravity and is too
//      uncertain for a ratio with so few samples.
//   2. Absolute bound, for any number of samples: a force residual above
//      kMaxForceResidual (2 N) or a torque residual above kMaxTorqueResidual
//      (0.2 N m) against the fit of all. With fewer than kMinOthers + 1
//      samples this is the only rule (a 10 N contact in one of three samples
//      leaves it 5.4 to 5.9 N, the others about 3 N: the set is refused, but
//      three samples cannot tell for certain which one was disturbed).
// Noise is accepted: on the emulator's settings the residuals stay at
// hundredths of a newton; with 0.3 N of independent error per component on
// every sample's mean, about one set in a thousand of six samples in random
// orientations trips rule 1 by chance, and capturing again clears it.
//
// Runs on the robot program's thread: it allocates (the samples' residuals)
// and is never called from the force-control cycle.
//
// One pose: the mean raw wrench (no bias subtracted) and gravity in sensor
// axes.
struct Sample {
  Vec3 force{};    // N
  Vec3 torque{};   // N m
  Vec3 gravity{};  // m/s², 9.81 long
};

struct Fit {
  double mass = 0.0;                  // kg
  Vec3 cog{};                         // m, sensor axes, from the sensor's origin (c_s)
  Vec3 cog_flange{};                  // m, flange coordinates, from the flange origin (c)
  Vec3 force_bias{};                  // N
  Vec3 torque_bias{};                 // N m
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

// Gravity in sensor axes for a flange whose rotation to world axes is
// `flange` (Rf): Rsᵀ Rfᵀ (0, 0, -9.81), with Rs of knownSensorPose.
Vec3 gravityInSensor(const hx4rc_api::Rotation& flange, const hx4rc_api::Frame& sensor_in_flange);

// The least-squares fit in sensor axes, with the centre of gravity also in
// flange coordinates for the sensor pose `sensor_in_flange` (knownSensorPose).
// Refuses fewer than kMinSamples samples, samples that are not finite, a
// system whose conditioning is below the bound above, a fitted mass that is
// not above 0, and a disturbed sample (the rules above; the refusal names the
// sample by its number, counted from 1, and gives its residual).
Result fit(const std::vector<Sample>& samples,
           const hx4rc_api::Frame& sensor_in_flange = hx4rc_api::Frame::Identity());

// The model's wrench for a sample's gravity with the fitted load and bias.
void predict(const Fit& fit, const Vec3& gravity, Vec3& force, Vec3& torque);

}  // namespace tool_load
}  // namespace vorel_device
