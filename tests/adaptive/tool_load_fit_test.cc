// The tool-load fit on synthetic samples made with the model itself: exact
// recovery without noise, the refusals (too few samples, parallel gravity
// directions, a non-finite value), and the residuals of a sample with a
// deliberate error.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "adaptive/tool_load_fit.h"
#include "host/geometry.h"

namespace vorel_device {
namespace tool_load {
namespace {

// A load and a sensor bias, as a commissioning would find them.
Fit trueLoad() {
  Fit f;
  f.mass = 1.25;
  f.cog = {0.012, -0.004, 0.065};
  f.force_bias = {2.5, -1.5, 3.0};
  f.torque_bias = {0.1, -0.08, 0.05};
  return f;
}

// Gravity in sensor axes for a flange whose rotation to world axes is
// Rz(yaw) Ry(pitch) Rx(roll), angles in rad.
Vec3 gravityFor(double roll, double pitch, double yaw) {
  const hx4rc_api::Rotation r = hx4rc_api::Rotation::RPY(roll, pitch, yaw);
  std::array<double, 9> rows;
  std::copy(r.data(), r.data() + 9, rows.begin());
  return gravityInFlange(rows);
}

Sample sampleAt(const Fit& load, const Vec3& g) {
  Sample s;
  s.gravity = g;
  predict(load, g, s.force, s.torque);
  return s;
}

std::vector<Sample> samplesAt(const Fit& load, const std::vector<Vec3>& gravities) {
  std::vector<Sample> out;
  for (const Vec3& g : gravities)
    out.push_back(sampleAt(load, g));
  return out;
}

void expectFit(const Fit& got, const Fit& want, double tol) {
  EXPECT_NEAR(got.mass, want.mass, tol);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(got.cog[i], want.cog[i], tol) << "cog " << i;
    EXPECT_NEAR(got.force_bias[i], want.force_bias[i], tol) << "force bias " << i;
    EXPECT_NEAR(got.torque_bias[i], want.torque_bias[i], tol) << "torque bias " << i;
  }
}

// Samples without noise: the fit recovers the load and the bias exactly,
// with zero residuals.
struct Exact {
  const char* name;
  std::vector<Vec3> gravities;
};

class ToolLoadFitExact : public testing::TestWithParam<Exact> {};

TEST_P(ToolLoadFitExact, RecoversLoadAndBiasWithZeroResiduals) {
  const Result r = fit(samplesAt(trueLoad(), GetParam().gravities));
  ASSERT_TRUE(r.ok) << r.refusal;
  expectFit(r.fit, trueLoad(), 1e-9);
  ASSERT_EQ(r.fit.force_residual.size(), GetParam().gravities.size());
  for (std::size_t i = 0; i < GetParam().gravities.size(); ++i) {
    EXPECT_NEAR(r.fit.force_residual[i], 0.0, 1e-9);
    EXPECT_NEAR(r.fit.torque_residual[i], 0.0, 1e-9);
  }
}

// Six orientations: tool down, up, and on four sides, slightly turned. Three
// distinct directions in one plane (down, tilted by 60 and 120 degrees about
// the flange's x axis) determine every unknown too.
INSTANTIATE_TEST_SUITE_P(
    Samples, ToolLoadFitExact,
    testing::Values(Exact{"SixOrientations",
                          {gravityFor(0.0, 0.0, 0.0), gravityFor(M_PI, 0.0, 0.3),
                           gravityFor(M_PI / 2, 0.0, 0.1), gravityFor(-M_PI / 2, 0.2, 0.0),
                           gravityFor(0.0, M_PI / 2, 0.4), gravityFor(0.3, -M_PI / 2, -0.2)}},
                    Exact{"ThreeDirectionsInOnePlane",
                          {gravityFor(0.0, 0.0, 0.0), gravityFor(M_PI / 3, 0.0, 0.0),
                           gravityFor(2 * M_PI / 3, 0.0, 0.0)}}),
    [](const testing::TestParamInfo<Exact>& info) { return std::string(info.param.name); });

struct Refusal {
  const char* name;
  std::vector<Vec3> gravities;
  const char* starts;
};

class ToolLoadFitRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(ToolLoadFitRefusal, RefusedWithReason) {
  const Result r = fit(samplesAt(trueLoad(), GetParam().gravities));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.refusal.rfind(GetParam().starts, 0), 0u) << r.refusal;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, ToolLoadFitRefusal,
    testing::Values(
        Refusal{"TwoSamples",
                {gravityFor(0.0, 0.0, 0.0), gravityFor(M_PI / 2, 0.0, 0.0)},
                "needs at least 3 samples"},
        Refusal{"AllTheSameDirection",
                {gravityFor(0.0, 0.0, 0.0), gravityFor(0.0, 0.0, 1.0), gravityFor(0.0, 0.0, 2.0),
                 gravityFor(0.0, 0.0, -1.5)},
                "the gravity directions of the samples do not determine every unknown"},
        Refusal{"SameAndOpposite",
                {gravityFor(0.0, 0.0, 0.0), gravityFor(M_PI, 0.0, 0.0), gravityFor(0.0, 0.0, 0.5),
                 gravityFor(M_PI, 0.0, 1.0), gravityFor(0.0, 0.0, 3.0)},
                "the gravity directions of the samples do not determine every unknown"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// Gravity along +x, -x, +y, -y, +z, -z: the force columns (mass, force bias)
// are then orthogonal, so the hat matrix is known by hand. A 1 N error on the
// +x sample's Fx keeps 1 - (1/6 + 1/6) = 2/3 N there, leaves the -x sample
// clean, and shows as 1/6 N on two force rows of each of the four others;
// the torques are untouched.
TEST(ToolLoadFit, OneNewtonErrorOnOneSample_KnownResiduals) {
  const double g = kGravity;
  std::vector<Sample> samples =
      samplesAt(trueLoad(), {{g, 0, 0}, {-g, 0, 0}, {0, g, 0}, {0, -g, 0}, {0, 0, g}, {0, 0, -g}});
  samples[0].force[0] += 1.0;
  const Result r = fit(samples);
  ASSERT_TRUE(r.ok) << r.refusal;
  const double side = std::sqrt(2.0) / 6.0;
  const double expected[6] = {2.0 / 3.0, 0.0, side, side, side, side};
  for (int i = 0; i < 6; ++i) {
    EXPECT_NEAR(r.fit.force_residual[i], expected[i], 1e-9) << "sample " << i + 1;
    EXPECT_NEAR(r.fit.torque_residual[i], 0.0, 1e-9) << "sample " << i + 1;
  }
  // The error moved the fit a little: the mass by 1/(6 g) kg, the x bias by
  // 1/6 N.
  EXPECT_NEAR(r.fit.mass, trueLoad().mass + 1.0 / (6.0 * g), 1e-9);
  EXPECT_NEAR(r.fit.force_bias[0], trueLoad().force_bias[0] + 1.0 / 6.0, 1e-9);
}

TEST(ToolLoadFit, NonFiniteSample_Refused) {
  const double g = kGravity;
  std::vector<Sample> samples =
      samplesAt(trueLoad(), {{g, 0, 0}, {-g, 0, 0}, {0, g, 0}, {0, -g, 0}, {0, 0, g}, {0, 0, -g}});
  samples[4].torque[1] = NAN;
  const Result r = fit(samples);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.refusal, "sample 5 holds a value that is not finite");
}

}  // namespace
}  // namespace tool_load
}  // namespace vorel_device
