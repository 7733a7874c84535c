#include "adaptive/wrench_processing.h"

namespace vorel_device {

namespace {

// a x b
hx4rc_api::Vector cross(const hx4rc_api::Vector& a, const hx4rc_api::Vector& b) {
  return hx4rc_api::Vector(a.y() * b.z() - a.z() * b.y(), a.z() * b.x() - a.x() * b.z(),
                           a.x() * b.y() - a.y() * b.x());
}

hx4rc_api::Vector forcePart(const Wrench& w) {
  return hx4rc_api::Vector(w[0], w[1], w[2]);
}
hx4rc_api::Vector torquePart(const Wrench& w) {
  return hx4rc_api::Vector(w[3], w[4], w[5]);
}

Wrench join(const hx4rc_api::Vector& force, const hx4rc_api::Vector& torque) {
  Wrench w;
  for (int i = 0; i < 3; ++i) {
    w[i] = force[i];
    w[3 + i] = torque[i];
  }
  return w;
}

}  // namespace

hx4rc_api::Frame knownSensorPose(const hx4rc_api::Frame& sensor_in_flange) {
  return sensor_in_flange.isFinite() ? sensor_in_flange : hx4rc_api::Frame::Identity();
}

Wrench compensateGravity(const Wrench& raw, const hx4rc_api::Rotation& flange_rotation, double mass,
                         const hx4rc_api::Vector& cog, const hx4rc_api::Frame& sensor_in_flange) {
  const hx4rc_api::Frame sensor = knownSensorPose(sensor_in_flange);
  const hx4rc_api::Rotation to_sensor = sensor.rotation.Inverse();
  const hx4rc_api::Vector weight_world(0.0, 0.0, -kGravity * mass);      // N, world axes
  const hx4rc_api::Vector g = flange_rotation.Inverse() * weight_world;  // N, flange axes
  const hx4rc_api::Vector weight = to_sensor * g;                        // N, sensor axes
  const hx4rc_api::Vector lever = to_sensor * (cog - sensor.position);   // m, sensor axes
  return join(forcePart(raw) - weight, torquePart(raw) - cross(lever, weight));
}

Wrench transformToTcp(const Wrench& compensated, const hx4rc_api::Frame& tcp_in_flange,
                      const hx4rc_api::Frame& sensor_in_flange) {
  const hx4rc_api::Rotation tcp_inverse = tcp_in_flange.rotation.Inverse();
  // Sensor origin seen from the TCP, m: flange axes, then TCP axes.
  const hx4rc_api::Vector d = sensor_in_flange.position - tcp_in_flange.position;
  const hx4rc_api::Vector r = tcp_inverse * d;
  // Sensor axes to TCP axes.
  const hx4rc_api::Rotation m = tcp_inverse * sensor_in_flange.rotation;
  const hx4rc_api::Vector force = m * forcePart(compensated);
  const hx4rc_api::Vector torque = m * torquePart(compensated) + cross(r, force);
  return join(force, torque);
}

}  // namespace vorel_device
