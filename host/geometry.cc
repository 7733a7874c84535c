#include "host/geometry.h"

#include <cmath>

namespace hx4rc_api {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

void Vector::setData(const double* xyz) {
  data_[0] = xyz[0];
  data_[1] = xyz[1];
  data_[2] = xyz[2];
}

double Vector::Norm() const {
  return std::sqrt(data_[0] * data_[0] + data_[1] * data_[1] + data_[2] * data_[2]);
}

Vector operator+(const Vector& a, const Vector& b) {
  return Vector(a[0] + b[0], a[1] + b[1], a[2] + b[2]);
}

Vector operator-(const Vector& a, const Vector& b) {
  return Vector(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

Vector operator*(double s, const Vector& v) { return Vector(s * v[0], s * v[1], s * v[2]); }

bool operator==(const Vector& a, const Vector& b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

Rotation::Rotation() : data_{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0} {}

Rotation::Rotation(double xx, double xy, double xz, double yx, double yy, double yz, double zx,
                   double zy, double zz)
    : data_{xx, xy, xz, yx, yy, yz, zx, zy, zz} {}

Rotation Rotation::RPY(double roll, double pitch, double yaw) {
  const double cr = std::cos(roll), sr = std::sin(roll);
  const double cp = std::cos(pitch), sp = std::sin(pitch);
  const double cy = std::cos(yaw), sy = std::sin(yaw);
  return Rotation(cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr,  //
                  sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr,  //
                  -sp, cp * sr, cp * cr);
}

void Rotation::GetRPY(double& roll, double& pitch, double& yaw) const {
  const Rotation& r = *this;
  pitch = std::atan2(-r(2, 0), std::sqrt(r(0, 0) * r(0, 0) + r(1, 0) * r(1, 0)));
  if (std::fabs(std::cos(pitch)) < 1e-12) {
    // Gimbal lock: only roll - yaw (or roll + yaw) is defined; put it in roll.
    yaw = 0.0;
    roll = pitch > 0 ? std::atan2(r(0, 1), r(1, 1)) : -std::atan2(r(0, 1), r(1, 1));
  } else {
    roll = std::atan2(r(2, 1), r(2, 2));
    yaw = std::atan2(r(1, 0), r(0, 0));
  }
}

Rotation Rotation::Inverse() const {
  const Rotation& r = *this;
  return Rotation(r(0, 0), r(1, 0), r(2, 0), r(0, 1), r(1, 1), r(2, 1), r(0, 2), r(1, 2), r(2, 2));
}

Rotation operator*(const Rotation& a, const Rotation& b) {
  Rotation out;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      out(i, j) = a(i, 0) * b(0, j) + a(i, 1) * b(1, j) + a(i, 2) * b(2, j);
    }
  }
  return out;
}

Vector operator*(const Rotation& r, const Vector& v) {
  return Vector(r(0, 0) * v[0] + r(0, 1) * v[1] + r(0, 2) * v[2],
                r(1, 0) * v[0] + r(1, 1) * v[1] + r(1, 2) * v[2],
                r(2, 0) * v[0] + r(2, 1) * v[1] + r(2, 2) * v[2]);
}

bool operator==(const Rotation& a, const Rotation& b) {
  for (int i = 0; i < 9; ++i) {
    if (a.data()[i] != b.data()[i]) return false;
  }
  return true;
}

Frame::Frame()
    : rotation(kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN),
      position(kNaN, kNaN, kNaN) {}

bool Frame::isFinite() const {
  for (int i = 0; i < 9; ++i) {
    if (!std::isfinite(rotation.data()[i])) return false;
  }
  for (int i = 0; i < 3; ++i) {
    if (!std::isfinite(position[i])) return false;
  }
  return true;
}

Frame Frame::Inverse() const {
  const Rotation inv = rotation.Inverse();
  return Frame(inv, -1.0 * (inv * position));
}

Frame operator*(const Frame& a, const Frame& b) {
  return Frame(a.rotation * b.rotation, a.rotation * b.position + a.position);
}

Vector operator*(const Frame& f, const Vector& v) { return f.rotation * v + f.position; }

Pose::Pose() : frame(), valid(0) {}

void Pose::setPRPY(const double* position, const double* rpy, unsigned int /*convention*/) {
  frame.position.setData(position);
  frame.rotation = Rotation::RPY(rpy[0], rpy[1], rpy[2]);
}

Inertia::Inertia() : mass(kNaN), cog(kNaN, kNaN, kNaN), tensor{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN} {}

void Inertia::set(double mass_kg, const Vector& cog_m, const double* tensor_kgm2) {
  mass = mass_kg;
  cog = cog_m;
  for (int i = 0; i < 6; ++i) tensor[i] = tensor_kgm2[i];
}

}  // namespace hx4rc_api
