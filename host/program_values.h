// Program values of the robot-program interpreter (libhx4_program_api):
// numbers, arrays of numbers, positions, orientations, robot poses and loads.
// Lengths in metres, angles in radians, masses in kg.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <functional>
#include <vector>

#include "host/controller_types.h"
#include "host/geometry.h"

namespace hx4_program_api {

// A number of a robot program. A Number copied from another one, or obtained
// from Array::item, is a handle on the same storage: assigning a double to it
// writes that storage, and d() reads it.
class Number {
 public:
  Number();
  Number(double value);  // NOLINT: numbers convert from literals in programs
  Number(const Number& other) = default;

  // Value of the number; `evaluate` asks for the current value of an
  // expression (a plain number is its own value).
  double d(bool evaluate = true) const;
  // Writes the value into the storage this handle refers to.
  Number& operator=(double value);
  // Writes other's value into this handle's storage.
  Number& operator=(const Number& other);

 private:
  boost::shared_ptr<double> value_;
};

Number operator*(double a, const Number& b);
Number operator*(const Number& a, double b);
Number operator/(const Number& a, double b);
Number operator+(const Number& a, const Number& b);
Number operator-(const Number& a, const Number& b);

template <class T>
class Array;

// A two-dimensional array of numbers with a fixed number of columns and a row
// capacity. Rows are created on first access up to the capacity.
template <>
class Array<Number> {
 public:
  Array(std::size_t row_capacity, std::size_t columns);

  // Handle on element (row, col). Creates the missing rows up to `row` when
  // row < capacity. Throws std::out_of_range "Row index out of range: idx=<row>
  // capacity=<capacity>" or "Column index out of range: idx=<col>
  // columns=<columns>".
  Number item(std::size_t row, std::size_t col);

  std::size_t rows() const { return rows_.size(); }
  std::size_t columns() const { return columns_; }
  std::size_t rowCapacity() const { return row_capacity_; }

 private:
  std::size_t row_capacity_;
  std::size_t columns_;
  std::vector<std::vector<Number>> rows_;
};

// A position, metres.
struct Position {
  Position() = default;
  Position(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};
Position operator+(const Position& a, const Position& b);

struct Rotation {
  // Roll, pitch and yaw in radians: rotation Rz(yaw) * Ry(pitch) * Rx(roll).
  struct RPY {
    RPY() = default;
    RPY(double r, double p, double y) : roll(r), pitch(p), yaw(y) {}
    double roll = 0.0;
    double pitch = 0.0;
    double yaw = 0.0;
  };
};

// A robot pose: a position and an orientation, either in world coordinates or
// relative to a reference pose. An empty pose is not valid.
class RobotPose {
 public:
  // Empty (not valid).
  RobotPose();
  // The pose of a frame given in world coordinates. A frame with a NaN value
  // gives a pose that is not valid.
  explicit RobotPose(const hx4rc_api::Frame& frame);
  // Position and orientation in world coordinates.
  RobotPose(const Position& pos, const Rotation::RPY& rpy);
  // Position and orientation relative to `reference`: the pose is reference *
  // (pos, rpy). Valid when the reference is.
  RobotPose(const Position& pos, const Rotation::RPY& rpy, const RobotPose& reference);

  bool valid() const;
  Position pos() const { return pos_; }
  void setPos(const Position& pos) { pos_ = pos; }
  Rotation::RPY rpy() const { return rpy_; }

  // The pose in world coordinates, through the reference chain. When the pose
  // is not valid: the all-NaN frame if `nan_if_invalid`, else std::logic_error.
  hx4rc_api::Frame evaluate(bool nan_if_invalid) const;
  // The pose's own position and orientation as a frame (relative to its
  // reference, or to the world). Invalid poses as for evaluate().
  hx4rc_api::Frame toFrame(bool nan_if_invalid) const;

 private:
  bool has_value_;
  Position pos_;
  Rotation::RPY rpy_;
  boost::shared_ptr<const RobotPose> reference_;
};

// A load of a robot program: mass (kg), centre of gravity (m, flange axes) and
// inertia tensor (kg m^2: xx, yy, zz, xy, xz, yz). A Load handed out by the
// system-variable registry is bound to the controller: assigning to it also
// sets the controller's load of that id.
class Load {
 public:
  Load();
  Load(double mass, const Position& cog);
  Load(const Load& other);
  // Copies other's values; a bound load also writes them to the controller.
  Load& operator=(const Load& other);

  double mass() const { return mass_; }
  Position cog() const { return cog_; }
  const double* inertia() const { return inertia_; }
  void setInertia(const double* tensor);

  // The controller's record for these mass properties.
  hx4rc_api::Load toRecord(hx4rc_api::Load::SysId id) const;

  // Host side: binds this value to a controller load; `writer` is called with
  // the new value on every assignment.
  void bind(std::function<void(const Load&)> writer);

 private:
  double mass_;
  Position cog_;
  double inertia_[6];
  std::function<void(const Load&)> writer_;
};

}  // namespace hx4_program_api
