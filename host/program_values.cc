#include "host/program_values.h"

#include <boost/make_shared.hpp>
#include <cmath>
#include <stdexcept>
#include <string>

namespace hx4_program_api {

Number::Number() : value_(boost::make_shared<double>(0.0)) {}
Number::Number(double value) : value_(boost::make_shared<double>(value)) {}

double Number::d(bool /*evaluate*/) const { return *value_; }

Number& Number::operator=(double value) {
  *value_ = value;
  return *this;
}

Number& Number::operator=(const Number& other) {
  *value_ = *other.value_;
  return *this;
}

Number operator*(double a, const Number& b) { return Number(a * b.d(true)); }
Number operator*(const Number& a, double b) { return Number(a.d(true) * b); }
Number operator/(const Number& a, double b) { return Number(a.d(true) / b); }
Number operator+(const Number& a, const Number& b) { return Number(a.d(true) + b.d(true)); }
Number operator-(const Number& a, const Number& b) { return Number(a.d(true) - b.d(true)); }

Array<Number>::Array(std::size_t row_capacity, std::size_t columns)
    : row_capacity_(row_capacity), columns_(columns) {}

Number Array<Number>::item(std::size_t row, std::size_t col) {
  if (col >= columns_) {
    throw std::out_of_range("Column index out of range: idx=" + std::to_string(col) +
                            " columns=" + std::to_string(columns_));
  }
  if (row >= row_capacity_) {
    throw std::out_of_range("Row index out of range: idx=" + std::to_string(row) +
                            " capacity=" + std::to_string(row_capacity_));
  }
  while (rows_.size() <= row) rows_.emplace_back(columns_);
  return rows_[row][col];
}

Position operator+(const Position& a, const Position& b) {
  return Position(a.x + b.x, a.y + b.y, a.z + b.z);
}

namespace {

hx4rc_api::Frame frameOf(const Position& pos, const Rotation::RPY& rpy) {
  return hx4rc_api::Frame(hx4rc_api::Rotation::RPY(rpy.roll, rpy.pitch, rpy.yaw),
                          hx4rc_api::Vector(pos.x, pos.y, pos.z));
}

hx4rc_api::Frame invalidFrame(bool nan_if_invalid) {
  if (!nan_if_invalid) throw std::logic_error("RobotPose: the pose is not valid");
  return hx4rc_api::Frame();
}

}  // namespace

RobotPose::RobotPose() : has_value_(false) {}

RobotPose::RobotPose(const hx4rc_api::Frame& frame) : has_value_(frame.isFinite()) {
  if (!has_value_) return;
  pos_ = Position(frame.position.x(), frame.position.y(), frame.position.z());
  frame.rotation.GetRPY(rpy_.roll, rpy_.pitch, rpy_.yaw);
}

RobotPose::RobotPose(const Position& pos, const Rotation::RPY& rpy)
    : has_value_(true), pos_(pos), rpy_(rpy) {}

RobotPose::RobotPose(const Position& pos, const Rotation::RPY& rpy, const RobotPose& reference)
    : has_value_(true), pos_(pos), rpy_(rpy), reference_(boost::make_shared<RobotPose>(reference)) {}

bool RobotPose::valid() const {
  if (!has_value_) return false;
  if (!std::isfinite(pos_.x) || !std::isfinite(pos_.y) || !std::isfinite(pos_.z) ||
      !std::isfinite(rpy_.roll) || !std::isfinite(rpy_.pitch) || !std::isfinite(rpy_.yaw)) {
    return false;
  }
  return !reference_ || reference_->valid();
}

hx4rc_api::Frame RobotPose::evaluate(bool nan_if_invalid) const {
  if (!valid()) return invalidFrame(nan_if_invalid);
  const hx4rc_api::Frame own = frameOf(pos_, rpy_);
  return reference_ ? reference_->evaluate(nan_if_invalid) * own : own;
}

hx4rc_api::Frame RobotPose::toFrame(bool nan_if_invalid) const {
  if (!valid()) return invalidFrame(nan_if_invalid);
  return frameOf(pos_, rpy_);
}

Load::Load() : mass_(0.0), cog_(), inertia_{0.0, 0.0, 0.0, 0.0, 0.0, 0.0} {}

Load::Load(double mass, const Position& cog)
    : mass_(mass), cog_(cog), inertia_{0.0, 0.0, 0.0, 0.0, 0.0, 0.0} {}

Load::Load(const Load& other) : mass_(other.mass_), cog_(other.cog_) {
  setInertia(other.inertia_);
}

Load& Load::operator=(const Load& other) {
  mass_ = other.mass_;
  cog_ = other.cog_;
  setInertia(other.inertia_);
  if (writer_) writer_(*this);
  return *this;
}

void Load::setInertia(const double* tensor) {
  for (int i = 0; i < 6; ++i) inertia_[i] = tensor[i];
}

hx4rc_api::Load Load::toRecord(hx4rc_api::Load::SysId id) const {
  hx4rc_api::Load record;
  record.id = id;
  record.inertia.set(mass_, hx4rc_api::Vector(cog_.x, cog_.y, cog_.z), inertia_);
  return record;
}

void Load::bind(std::function<void(const Load&)> writer) { writer_ = std::move(writer); }

}  // namespace hx4_program_api
