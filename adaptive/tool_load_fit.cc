#include "adaptive/tool_load_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vorel_device {
namespace tool_load {

namespace {

constexpr int kUnknowns = 10;  // m, p (3), bF (3), bT (3)
using Matrix = std::array<double, kUnknowns * kUnknowns>;
using Vector = std::array<double, kUnknowns>;

// The six rows of one sample: A x = b with x = (m, px, py, pz, bFx, bFy, bFz,
// bTx, bTy, bTz).
void sampleRows(const Sample& s, double (&a)[6][kUnknowns], double (&b)[6]) {
  for (auto& row : a)
    std::fill(std::begin(row), std::end(row), 0.0);
  const Vec3& g = s.gravity;
  for (int i = 0; i < 3; ++i) {
    a[i][0] = g[i];     // m g
    a[i][4 + i] = 1.0;  // bF
    b[i] = s.force[i];
    a[3 + i][7 + i] = 1.0;  // bT
    b[3 + i] = s.torque[i];
  }
  // -g x p = p x g: rows of the cross-product matrix of -g.
  a[3][2] = g[2];  // Tx = py gz - pz gy
  a[3][3] = -g[1];
  a[4][1] = -g[2];  // Ty = pz gx - px gz
  a[4][3] = g[0];
  a[5][1] = g[1];  // Tz = px gy - py gx
  a[5][2] = -g[0];
}

// Eigenvalues and eigenvectors of a symmetric matrix by cyclic Jacobi
// rotations: on return `m` is diagonal (the eigenvalues) and the columns of
// `v` are the eigenvectors.
void jacobi(Matrix& m, Matrix& v) {
  v.fill(0.0);
  for (int i = 0; i < kUnknowns; ++i)
    v[i * kUnknowns + i] = 1.0;
  auto at = [](Matrix& x, int r, int c) -> double& { return x[r * kUnknowns + c]; };
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0.0;
    for (int p = 0; p < kUnknowns; ++p)
      for (int q = p + 1; q < kUnknowns; ++q)
        off += at(m, p, q) * at(m, p, q);
    if (off < 1e-30)
      return;
    for (int p = 0; p < kUnknowns; ++p) {
      for (int q = p + 1; q < kUnknowns; ++q) {
        const double apq = at(m, p, q);
        if (std::fabs(apq) < 1e-300)
          continue;
        const double theta = (at(m, q, q) - at(m, p, p)) / (2.0 * apq);
        const double t =
            (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        for (int k = 0; k < kUnknowns; ++k) {
          const double mkp = at(m, k, p);
          const double mkq = at(m, k, q);
          at(m, k, p) = c * mkp - s * mkq;
          at(m, k, q) = s * mkp + c * mkq;
        }
        for (int k = 0; k < kUnknowns; ++k) {
          const double mpk = at(m, p, k);
          const double mqk = at(m, q, k);
          at(m, p, k) = c * mpk - s * mqk;
          at(m, q, k) = s * mpk + c * mqk;
        }
        for (int k = 0; k < kUnknowns; ++k) {
          const double vkp = at(v, k, p);
          const double vkq = at(v, k, q);
          at(v, k, p) = c * vkp - s * vkq;
          at(v, k, q) = s * vkp + c * vkq;
        }
      }
    }
  }
}

bool finite(const Vec3& v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

double norm(const Vec3& v) {
  return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// The least-squares solution x = (m, p, bF, bT) for the samples other than
// `skip` (none when skip >= samples.size()), with the reciprocal condition of
// its scaled normal matrix.
struct Solution {
  Vector x{};
  double reciprocal_condition = 0.0;
};

Solution solve(const std::vector<Sample>& samples, std::size_t skip) {
  // Normal equations AᵀA x = Aᵀb, accumulated sample by sample.
  Matrix ata{};
  Vector atb{};
  for (std::size_t k = 0; k < samples.size(); ++k) {
    if (k == skip)
      continue;
    double a[6][kUnknowns];
    double b[6];
    sampleRows(samples[k], a, b);
    for (int r = 0; r < 6; ++r) {
      for (int i = 0; i < kUnknowns; ++i) {
        atb[i] += a[r][i] * b[r];
        for (int j = 0; j < kUnknowns; ++j)
          ata[i * kUnknowns + j] += a[r][i] * a[r][j];
      }
    }
  }
  // Columns scaled to unit length: the conditioning then compares directions,
  // not units (kg against N).
  Vector scale{};
  for (int i = 0; i < kUnknowns; ++i)
    scale[i] = ata[i * kUnknowns + i] > 0.0 ? 1.0 / std::sqrt(ata[i * kUnknowns + i]) : 0.0;
  Matrix scaled{};
  for (int i = 0; i < kUnknowns; ++i)
    for (int j = 0; j < kUnknowns; ++j)
      scaled[i * kUnknowns + j] = ata[i * kUnknowns + j] * scale[i] * scale[j];
  Matrix eigenvectors{};
  jacobi(scaled, eigenvectors);
  double largest = 0.0;
  double smallest = 0.0;
  for (int i = 0; i < kUnknowns; ++i) {
    const double e = scaled[i * kUnknowns + i];
    largest = i == 0 ? e : std::max(largest, e);
    smallest = i == 0 ? e : std::min(smallest, e);
  }
  Solution out;
  out.reciprocal_condition = largest > 0.0 ? smallest / largest : 0.0;
  if (!(out.reciprocal_condition >= kMinReciprocalCondition))
    return out;
  // x = S V Λ⁻¹ Vᵀ S Aᵀb.
  Vector y{};
  for (int k = 0; k < kUnknowns; ++k) {
    double dot = 0.0;
    for (int i = 0; i < kUnknowns; ++i)
      dot += eigenvectors[i * kUnknowns + k] * scale[i] * atb[i];
    y[k] = dot / scaled[k * kUnknowns + k];
  }
  for (int i = 0; i < kUnknowns; ++i) {
    double sum = 0.0;
    for (int k = 0; k < kUnknowns; ++k)
      sum += eigenvectors[i * kUnknowns + k] * y[k];
    out.x[i] = scale[i] * sum;
  }
  return out;
}

bool determined(const Solution& s) {
  return s.reciprocal_condition >= kMinReciprocalCondition;
}

// Norms of what the solution does not explain of sample s: force (N),
// torque (N m).
void residual(const Vector& x, const Sample& s, double& force, double& torque) {
  const Vec3& g = s.gravity;
  Vec3 df, dt;
  for (int i = 0; i < 3; ++i) {
    df[i] = s.force[i] - (x[0] * g[i] + x[4 + i]);
    dt[i] = s.torque[i] - x[7 + i];
  }
  // -g x p with p = (x1, x2, x3).
  dt[0] -= x[2] * g[2] - x[3] * g[1];
  dt[1] -= x[3] * g[0] - x[1] * g[2];
  dt[2] -= x[1] * g[1] - x[2] * g[0];
  force = norm(df);
  torque = norm(dt);
}

std::string residualText(double force, double torque) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.3f N, %.4f N m", force, torque);
  return text;
}

// Rule 1 of the header: the sample that the fit of the others exposes, or
// none (samples.size()); `why` then says how.
std::size_t disturbedSample(const std::vector<Sample>& samples, std::string& why) {
  std::size_t found = samples.size();
  double worst_excess = 1.0;
  for (std::size_t i = 0; samples.size() > kMinOthers && i < samples.size(); ++i) {
    const Solution others = solve(samples, i);
    if (!determined(others))
      continue;
    double force = 0.0, torque = 0.0, others_force = 0.0, others_torque = 0.0;
    residual(others.x, samples[i], force, torque);
    for (std::size_t k = 0; k < samples.size(); ++k) {
      double f = 0.0, t = 0.0;
      if (k == i)
        continue;
      residual(others.x, samples[k], f, t);
      others_force = std::max(others_force, f);
      others_torque = std::max(others_torque, t);
    }
    const double excess = force / std::max(kOutlierRatio * others_force, kOutlierForce);
    if (excess > worst_excess) {
      found = i;
      worst_excess = excess;
      why = "residual " + residualText(force, torque) + " against the fit of the others, " +
            "which leaves them at most " + residualText(others_force, others_torque);
    }
  }
  return found;
}

// Rule 2: the sample furthest beyond the absolute bound, or none.
std::size_t unexplainedSample(const Fit& f, std::string& why) {
  std::size_t found = f.force_residual.size();
  double worst_excess = 1.0;
  for (std::size_t i = 0; i < f.force_residual.size(); ++i) {
    const double excess = std::max(f.force_residual[i] / kMaxForceResidual,
                                   f.torque_residual[i] / kMaxTorqueResidual);
    if (excess > worst_excess) {
      found = i;
      worst_excess = excess;
      char text[64];
      std::snprintf(text, sizeof(text), "above the bound of %g N or %g N m", kMaxForceResidual,
                    kMaxTorqueResidual);
      why = "residual " + residualText(f.force_residual[i], f.torque_residual[i]) +
            " against the fit of all, " + text;
    }
  }
  return found;
}

}  // namespace

Vec3 gravityInSensor(const hx4rc_api::Rotation& flange, const hx4rc_api::Frame& sensor_in_flange) {
  const hx4rc_api::Rotation to_sensor =
      knownSensorPose(sensor_in_flange).rotation.Inverse() * flange.Inverse();
  const hx4rc_api::Vector g = to_sensor * hx4rc_api::Vector(0.0, 0.0, -kGravity);
  return {g[0], g[1], g[2]};
}

void predict(const Fit& fit, const Vec3& g, Vec3& force, Vec3& torque) {
  const Vec3& c = fit.cog;
  for (int i = 0; i < 3; ++i)
    force[i] = fit.mass * g[i] + fit.force_bias[i];
  const Vec3 weight{fit.mass * g[0], fit.mass * g[1], fit.mass * g[2]};
  torque = {c[1] * weight[2] - c[2] * weight[1] + fit.torque_bias[0],
            c[2] * weight[0] - c[0] * weight[2] + fit.torque_bias[1],
            c[0] * weight[1] - c[1] * weight[0] + fit.torque_bias[2]};
}

// Why the samples cannot be fitted at all (too few, a value not finite);
// empty when they can.
static std::string inputRefusal(const std::vector<Sample>& samples) {
  if (samples.size() < kMinSamples)
    return "needs at least 3 samples in different orientations, has " +
           std::to_string(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const Sample& s = samples[i];
    if (!finite(s.force) || !finite(s.torque) || !finite(s.gravity))
      return "sample " + std::to_string(i + 1) + " holds a value that is not finite";
  }
  return std::string();
}

Result fit(const std::vector<Sample>& samples, const hx4rc_api::Frame& sensor_in_flange) {
  Result result;
  result.refusal = inputRefusal(samples);
  if (!result.refusal.empty())
    return result;

  const Solution all = solve(samples, samples.size());
  result.fit.reciprocal_condition = all.reciprocal_condition;
  if (!determined(all)) {
    char text[256];
    std::snprintf(text, sizeof(text),
                  "the gravity directions of the samples do not determine every unknown "
                  "(reciprocal condition %.3g, needs %.0e or more): capture at least three "
                  "distinct, not all parallel orientations",
                  all.reciprocal_condition, kMinReciprocalCondition);
    result.refusal = text;
    return result;
  }
  const Vector& x = all.x;
  Fit& f = result.fit;
  f.mass = x[0];
  if (!(f.mass > 0.0)) {
    char text[96];
    std::snprintf(text, sizeof(text), "the fitted mass %.4g kg is not above 0", f.mass);
    result.refusal = text;
    return result;
  }
  for (int i = 0; i < 3; ++i) {
    f.cog[i] = x[1 + i] / f.mass;
    f.force_bias[i] = x[4 + i];
    f.torque_bias[i] = x[7 + i];
  }
  const hx4rc_api::Frame sensor = knownSensorPose(sensor_in_flange);
  const hx4rc_api::Vector cog_flange =
      sensor.rotation * hx4rc_api::Vector(f.cog[0], f.cog[1], f.cog[2]) + sensor.position;
  f.cog_flange = {cog_flange[0], cog_flange[1], cog_flange[2]};
  for (const Sample& s : samples) {
    double force = 0.0, torque = 0.0;
    residual(x, s, force, torque);
    f.force_residual.push_back(force);
    f.torque_residual.push_back(torque);
  }

  std::string why;
  std::size_t disturbed = disturbedSample(samples, why);
  if (disturbed == samples.size())
    disturbed = unexplainedSample(f, why);
  if (disturbed != samples.size()) {
    result.refusal = "sample " + std::to_string(disturbed + 1) +
                     " disagrees with the model: " + why +
                     " (disturbed: contact, a pulled cable, a robot still moving?); " +
                     "clear the samples (clearLoadSamples) and capture them again";
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace tool_load
}  // namespace vorel_device
