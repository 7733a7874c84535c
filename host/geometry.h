// Geometry types of the controller API (libhx4rc_api): vectors, 3 x 3 rotation
// matrices, frames and poses. Lengths are in metres, angles in radians.
//
// All types are plain, trivially copyable records without pointers, so that
// they can live in shared memory (a Frame is one of the shared objects).
#pragma once

#include <cstdint>
#include <limits>

namespace hx4rc_api {

// Three doubles: a position in metres, a force in newtons, a rate, ...
class Vector {
 public:
  Vector() : data_{0.0, 0.0, 0.0} {}
  Vector(double x, double y, double z) : data_{x, y, z} {}

  double x() const { return data_[0]; }
  double y() const { return data_[1]; }
  double z() const { return data_[2]; }
  double& operator[](int i) { return data_[i]; }
  double operator[](int i) const { return data_[i]; }
  const double* data() const { return data_; }

  // Copies three doubles x, y, z from xyz.
  void setData(const double* xyz);
  // Euclidean length.
  double Norm() const;

 private:
  double data_[3];
};

Vector operator+(const Vector& a, const Vector& b);
Vector operator-(const Vector& a, const Vector& b);
Vector operator*(double s, const Vector& v);
bool operator==(const Vector& a, const Vector& b);

// A 3 x 3 matrix of nine doubles, row-major. As a rotation of frame a relative
// to frame b it maps vectors given in a's axes to b's axes. Default: identity.
class Rotation {
 public:
  Rotation();
  Rotation(double xx, double xy, double xz, double yx, double yy, double yz, double zx, double zy,
           double zz);

  static Rotation Identity() { return Rotation(); }
  // R = Rz(yaw) * Ry(pitch) * Rx(roll), angles in radians (fixed axes x, y, z).
  static Rotation RPY(double roll, double pitch, double yaw);
  // Inverse of RPY(); pitch in [-pi/2, pi/2]. At pitch +-pi/2 only roll - yaw
  // (or roll + yaw) is defined: yaw is then 0 and roll carries the rest.
  void GetRPY(double& roll, double& pitch, double& yaw) const;

  double& operator()(int row, int col) { return data_[3 * row + col]; }
  double operator()(int row, int col) const { return data_[3 * row + col]; }
  const double* data() const { return data_; }

  // The inverse of a rotation matrix: its transpose.
  Rotation Inverse() const;

 private:
  double data_[9];
};

Rotation operator*(const Rotation& a, const Rotation& b);
Vector operator*(const Rotation& r, const Vector& v);
bool operator==(const Rotation& a, const Rotation& b);

// A pose: a rotation (nine doubles) followed by a position (three doubles).
// For the pose of frame a relative to frame b, the rotation maps a's axes to
// b's axes and the position is a's origin in b's coordinates. The default
// value holds twelve quiet NaN: "not set".
struct Frame {
  Frame();
  Frame(const Rotation& r, const Vector& p) : rotation(r), position(p) {}
  static Frame Identity() { return Frame(Rotation(), Vector()); }

  // True when none of the twelve values is NaN or infinite.
  bool isFinite() const;
  Frame Inverse() const;

  Rotation rotation;
  Vector position;
};

// Composition: (a * b) is b expressed through a (pose of b's frame in a's parent).
Frame operator*(const Frame& a, const Frame& b);
// A point given in the frame's axes, expressed in its parent's coordinates.
Vector operator*(const Frame& f, const Vector& v);

// A Cartesian pose as the drive takes it: twelve values (a frame) and a
// trailing 32-bit field. The default pose holds twelve NaN and a field of 0.
struct Pose {
  Pose();

  // Sets the position (x, y, z in metres) and the rotation from roll, pitch and
  // yaw (radians, as Rotation::RPY). `convention` selects the angle convention;
  // 0, fixed axes x, y, z, is the one this controller knows and every value is
  // read that way.
  void setPRPY(const double* position, const double* rpy, unsigned int convention);

  Frame frame;
  // Trailing field: the drive takes a reference offset only when it is 1.
  std::uint32_t valid;
};

// Mass properties of a load: mass in kg, centre of gravity in m (in flange
// axes), inertia tensor about the centre of gravity in kg m^2 as
// (xx, yy, zz, xy, xz, yz).
struct Inertia {
  Inertia();
  void set(double mass, const Vector& cog, const double* tensor);

  double mass;
  Vector cog;
  double tensor[6];
};

}  // namespace hx4rc_api
