// SimulatedCell: the robot cell vorel-sim plays: the simulated controller
// (2 ms clock, robot, drive, motion), the contact world (a floor under the
// tool, the tool's weight, noise) and the sensor emulator on a
// pseudo-terminal whose frames carry what the world measures, optionally
// with a sinusoidal vibration or any wrench of the host's (the force steps
// of a measurement) added. Without the emulator (--port) only the
// controller is simulated: the sensor is whatever is on the port.
#pragma once

#include <boost/shared_ptr.hpp>
#include <functional>
#include <memory>
#include <optional>

#include "sim/controller/simulated_controller.h"
#include "sim/sensor/sensor_emulator.h"
#include "sim/world/contact_world.h"
#include "sim/world/simulated_robot_sensor.h"

namespace vorel_sim {

// A sinusoid added to one component of the sensor's reading.
struct Vibration {
  int component = 2;          // 0..5: force x, y, z, torque x, y, z (sensor axes)
  double amplitude = 0.0;     // N (or N m)
  double frequency_hz = 0.0;  // Hz
};

// The tool the robot really carries: mass (kg) and centre of gravity (m),
// counted as the device configuration and the host's tool load count it: in
// flange coordinates from the flange origin.
struct ToolSpec {
  double mass = 0.0;
  hx4rc_api::Vector cog;
};

struct CellSetup {
  double plane_z = 0.0;         // height of the floor, world z, m (the TCP starts at 0.05)
  double stiffness = 5000.0;    // N/m
  double force_noise = 0.05;    // N, standard deviation
  double torque_noise = 0.005;  // N m, standard deviation
  std::optional<Vibration> vibration;
  // The true tool; empty: the cell's own (0.8 kg, 0.04 m along the flange z
  // axis, which is also the controller's tool load at the start).
  std::optional<ToolSpec> tool;
  // The sensor's pose on the flange (m; the rotation maps sensor axes to
  // flange axes): the emulated sensor measures in these axes about this
  // origin. vorel-sim sets the device configuration's pose here.
  hx4rc_api::Frame sensor_in_flange = vorel_sim::cell::sensorInFlange();
  // The sensor's own bias, added to every frame (N, N m, sensor axes).
  vorel_device::Wrench sensor_bias;
  // The robot's speed bounds; empty: the controller's defaults.
  std::optional<vorel_sim::MotionLimits> motion;
  // Added to every frame's wrench (N, N m, sensor axes), called on the
  // emulator's sender thread with the frame's send time; empty: nothing.
  std::function<vorel_device::Wrench(vorel_sim::SensorEmulator::Clock::time_point)> added_wrench;
};

class SimulatedCell {
 public:
  // Builds the controller and, with `with_emulator`, the world and the
  // emulator (a pseudo-terminal pair is opened: throws std::system_error when
  // it cannot). Nothing runs yet.
  SimulatedCell(const CellSetup& setup, unsigned long seed, bool with_emulator);
  ~SimulatedCell();
  SimulatedCell(const SimulatedCell&) = delete;
  SimulatedCell& operator=(const SimulatedCell&) = delete;

  // Starts the controller's clock, then the emulator.
  void start();
  // Stops the emulator, then the clock. Idempotent.
  void stop();

  const boost::shared_ptr<vorel_sim::SimulatedController>& controller() const {
    return controller_;
  }
  // Empty without the emulator.
  vorel_sim::SensorEmulator* emulator() const { return emulator_.get(); }
  // What the emulated sensor feels; empty without the emulator.
  vorel_sim::ContactWorld* world() const { return world_.get(); }
  const CellSetup& setup() const { return setup_; }
  // Controller time, s (ticks x cycle).
  double now() const;

 private:
  CellSetup setup_;
  boost::shared_ptr<vorel_sim::SimulatedController> controller_;
  std::shared_ptr<vorel_sim::ContactWorld> world_;
  std::unique_ptr<vorel_sim::SimulatedRobotSensor> robot_sensor_;
  std::unique_ptr<vorel_sim::SensorEmulator> emulator_;
};

}  // namespace vorel_sim
