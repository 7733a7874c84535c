// ContactWorld: what the force/torque sensor of the simulated cell measures,
// computed from the robot's state (RobotState: flange and TCP pose in the
// world, TCP velocity).
//
// Sign convention: the sensor measures the forces that the environment exerts
// on the tool (the tool's weight and the surface's push), as the tool
// transmits them to the flange: in the sensor's axes (N), with the torque
// about the sensor's origin (N m). So a tool hanging still reads its weight,
// which the device's gravity compensation removes, and a tool pressed onto a
// floor (plane normal +z) reads a force along world +z: pointing out of the
// surface. Force control moves the TCP along +(F - F_target) in TCP axes, i.e.
// away from the surface when pressed harder than the target: the loop is
// stable when the target is the wanted contact force as the sensor reports
// it in TCP axes. With the cell's default tool pointing down (TCP z = world
// -z), pressing onto the floor with 10 N reads fz = -10 N in TCP axes, so the
// target is fz = -10 N; with a TCP whose z axis points along world +z it is
// +10 N.
//
// The wrench, in sensor axes, is the sum of:
//
//   weight   G = (Rf Rs)^T (0, 0, -9.81 m), acting at the centre of gravity
//            c (flange coordinates): torque Rs^T (c - ps) x G
//   contact  when the TCP lies behind the plane by depth d > 0 (along the
//            normal n): world force f n with f = k d + b (-n . v), not below
//            0 (a surface pushes, never pulls), acting at the TCP: force
//            (Rf Rs)^T f n, torque r x force with r the TCP seen from the
//            sensor origin in sensor axes
//   external a force the host puts on the tool (a hand pushing it; world
//            axes, N), acting at the TCP like the contact force
//   noise    independent Gaussian samples per component, standard deviation
//            force_noise (N) and torque_noise (N m), from a generator seeded
//            with `seed`: the same seed gives the same sequence
//
// Rf: flange rotation in the world; Rs, ps: sensor pose on the flange; m:
// tool mass; k: stiffness (N/m); b: damping (N s/m); v: TCP velocity (m/s).
//
// What the device's gravity compensation cancels: it computes the same
// weight and moment from the host's tool load (mass, centre of gravity in
// flange coordinates) and the sensor pose of its configuration. With the
// configuration's pose equal to this sensor's and the controller's tool load
// equal to this tool, the weight is cancelled exactly in every orientation,
// whatever the sensor's rotation and offset on the flange.
//
// Threads: every operation is thread-safe (one internal mutex); `evaluate` is
// pure, `measure` advances the noise generator.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>

#include "filters/wrench.h"
#include "host/geometry.h"
#include "sim/controller/robot_state.h"

namespace vorel_sim {

// A flat surface: the half-space behind it (against the normal) is solid.
struct ContactPlane {
  hx4rc_api::Vector point{0.0, 0.0, 0.0};   // a point of the surface, world, m
  hx4rc_api::Vector normal{0.0, 0.0, 1.0};  // out of the surface, world; scaled to unit length
  double stiffness = 5000.0;                // N/m
  double damping = 0.0;                     // N s/m
};

class ContactWorld {
 public:
  static constexpr double kGravity = 9.81;  // m/s^2

  struct Config {
    std::optional<ContactPlane> plane = ContactPlane();          // empty: nothing to touch
    double tool_mass = cell::kToolMass;                          // kg
    hx4rc_api::Vector tool_cog = cell::toolCog();                // flange axes, m
    hx4rc_api::Frame sensor_in_flange = cell::sensorInFlange();  // sensor pose on the flange, m
    double force_noise = 0.05;                                   // N, standard deviation
    double torque_noise = 0.005;                                 // N m, standard deviation
    std::uint64_t seed = 1;
    hx4rc_api::Vector external_force;  // on the tool at the TCP, world axes, N
  };

  // The parts of the measured wrench, without noise.
  struct Breakdown {
    vorel_device::Wrench weight;      // sensor axes, torque about the sensor origin
    vorel_device::Wrench contact;     // sensor axes, torque about the sensor origin
    vorel_device::Wrench total;       // weight + contact
    hx4rc_api::Vector contact_force;  // world axes, N: the surface's push plus the external force
    double depth = 0.0;               // m behind the surface; 0 without contact
  };

  // Throws std::invalid_argument (naming the value) for a configuration that
  // setConfig would refuse.
  ContactWorld() : ContactWorld(Config()) {}
  explicit ContactWorld(const Config& config);

  // Replaces the whole configuration (the noise generator keeps its state).
  // Throws std::invalid_argument, changing nothing, when the plane's normal is
  // zero or not finite, its point not finite, a stiffness, damping, mass or
  // noise is negative or not finite, the centre of gravity or the external
  // force not finite, or the sensor pose no finite pose with a rotation
  // matrix.
  void setConfig(const Config& config);
  Config config() const;
  // Shorthands for setConfig with one part changed (the rest as it is at
  // that moment: two threads changing different parts lose neither).
  void setPlane(const std::optional<ContactPlane>& plane);
  void setTool(double mass, const hx4rc_api::Vector& cog);
  void setSensorInFlange(const hx4rc_api::Frame& sensor_in_flange);
  void setNoise(double force_noise, double torque_noise);
  void setExternalForce(const hx4rc_api::Vector& force);
  // Restarts the noise generator with `seed`.
  void reseed(std::uint64_t seed);

  // The noiseless parts for `state`.
  Breakdown evaluate(const RobotState& state) const;
  // weight + contact + one noise sample per component: the sensor's reading.
  vorel_device::Wrench measure(const RobotState& state);

 private:
  static Config checked(const Config& config);
  // Changes the configuration with `change(Config&)` under the lock.
  template <typename Change>
  void update(Change change);

  mutable std::mutex mutex_;
  Config config_;
  std::mt19937_64 generator_;
  std::normal_distribution<double> normal_{0.0, 1.0};
};

}  // namespace vorel_sim
