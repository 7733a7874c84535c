#include "sim/world/contact_world.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "sim/controller/motion_profile.h"

namespace vorel_sim {

using hx4rc_api::Frame;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;
using vorel_device::Wrench;

namespace {

double dot(const Vector& a, const Vector& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

Vector cross(const Vector& a, const Vector& b) {
  return Vector(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]);
}

bool finite(const Vector& v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

void requireNonNegative(double value, const char* name) {
  if (!(std::isfinite(value) && value >= 0.0)) {
    throw std::invalid_argument(std::string("contact world: ") + name +
                                " must be finite and not negative, got " + std::to_string(value));
  }
}

// A force acting at `at` (sensor axes, from the sensor origin) as a wrench.
Wrench wrenchAt(const Vector& force, const Vector& at) {
  const Vector torque = cross(at, force);
  Wrench w;
  for (int i = 0; i < 3; ++i) {
    w[i] = force[i];
    w[3 + i] = torque[i];
  }
  return w;
}

}  // namespace

ContactWorld::ContactWorld(const Config& config)
    : config_(checked(config)), generator_(config.seed) {}

ContactWorld::Config ContactWorld::checked(const Config& config) {
  Config out = config;
  if (out.plane) {
    ContactPlane& plane = *out.plane;
    const double length = plane.normal.Norm();
    if (!finite(plane.normal) || !(length > 0.0)) {
      throw std::invalid_argument("contact world: the plane's normal must be finite and not zero");
    }
    if (!finite(plane.point)) {
      throw std::invalid_argument("contact world: the plane's point must be finite");
    }
    requireNonNegative(plane.stiffness, "stiffness (N/m)");
    requireNonNegative(plane.damping, "damping (N s/m)");
    plane.normal = (1.0 / length) * plane.normal;
  }
  requireNonNegative(out.tool_mass, "tool mass (kg)");
  if (!finite(out.tool_cog)) {
    throw std::invalid_argument("contact world: the tool's centre of gravity must be finite");
  }
  if (!out.sensor_in_flange.isFinite() || !isRotation(out.sensor_in_flange.rotation)) {
    throw std::invalid_argument(
        "contact world: the sensor pose must be finite with a rotation matrix");
  }
  requireNonNegative(out.force_noise, "force noise (N)");
  requireNonNegative(out.torque_noise, "torque noise (N m)");
  if (!finite(out.external_force))
    throw std::invalid_argument("contact world: the external force must be finite");
  return out;
}

void ContactWorld::setConfig(const Config& config) {
  Config valid = checked(config);
  std::lock_guard<std::mutex> lock(mutex_);
  config_ = valid;
}

ContactWorld::Config ContactWorld::config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

template <typename Change>
void ContactWorld::update(Change change) {
  std::lock_guard<std::mutex> lock(mutex_);
  Config c = config_;
  change(c);
  config_ = checked(c);
}

void ContactWorld::setPlane(const std::optional<ContactPlane>& plane) {
  update([&](Config& c) { c.plane = plane; });
}

void ContactWorld::setTool(double mass, const Vector& cog) {
  update([&](Config& c) {
    c.tool_mass = mass;
    c.tool_cog = cog;
  });
}

void ContactWorld::setSensorInFlange(const Frame& sensor_in_flange) {
  update([&](Config& c) { c.sensor_in_flange = sensor_in_flange; });
}

void ContactWorld::setNoise(double force_noise, double torque_noise) {
  update([&](Config& c) {
    c.force_noise = force_noise;
    c.torque_noise = torque_noise;
  });
}

void ContactWorld::setExternalForce(const Vector& force) {
  update([&](Config& c) { c.external_force = force; });
}

void ContactWorld::reseed(std::uint64_t seed) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.seed = seed;
  generator_.seed(seed);
  normal_.reset();
}

ContactWorld::Breakdown ContactWorld::evaluate(const RobotState& state) const {
  Config c;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    c = config_;
  }
  Breakdown out;
  const Frame& sensor = c.sensor_in_flange;
  // Sensor axes in the world, and back.
  const Rotation sensor_to_world = state.flange.rotation * sensor.rotation;
  const Rotation world_to_sensor = sensor_to_world.Inverse();

  // The tool's weight at its centre of gravity.
  const Vector weight = world_to_sensor * Vector(0.0, 0.0, -kGravity * c.tool_mass);
  const Vector cog = sensor.rotation.Inverse() * (c.tool_cog - sensor.position);
  out.weight = wrenchAt(weight, cog);

  // The surface's push and the external force, at the TCP.
  out.contact_force = c.external_force;
  if (c.plane) {
    const ContactPlane& plane = *c.plane;
    const double height = dot(plane.normal, state.tcp.position - plane.point);
    if (height < 0.0) {
      out.depth = -height;
      const double approach_speed = -dot(plane.normal, state.tcp_velocity);
      const double push =
          std::max(0.0, plane.stiffness * out.depth + plane.damping * approach_speed);
      out.contact_force = out.contact_force + push * plane.normal;
    }
  }
  if (!(out.contact_force == Vector(0.0, 0.0, 0.0))) {
    const Vector sensor_origin = state.flange * sensor.position;
    const Vector lever = world_to_sensor * (state.tcp.position - sensor_origin);
    out.contact = wrenchAt(world_to_sensor * out.contact_force, lever);
  }
  for (int i = 0; i < 6; ++i)
    out.total[i] = out.weight[i] + out.contact[i];
  return out;
}

Wrench ContactWorld::measure(const RobotState& state) {
  Wrench w = evaluate(state).total;
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < 6; ++i) {
    const double sigma = i < 3 ? config_.force_noise : config_.torque_noise;
    w[i] += sigma * normal_(generator_);
  }
  return w;
}

}  // namespace vorel_sim
