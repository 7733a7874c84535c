// SimulatedRobotSensor: closes the simulated cell. It feeds the sensor
// emulator's frames with the wrench that the contact world computes from the
// simulated controller's current robot state, so that each frame on the line
// carries what the sensor would measure at that moment: the tool's weight in
// sensor axes, the surface's push, and the world's noise (contact_world.h).
//
// The emulator calls the provider on its sender thread once per frame (500,
// 250 or 100 Hz), with no emulator lock held; the provider takes the
// controller's state as of its last 2 ms tick (a short lock of the
// controller) and one noise sample from the world (a short lock of the
// world). It never blocks on the clock.
//
// The provider holds shared references to the controller and the world, so
// both outlive every frame that uses them, whatever the order of destruction.
//
// Threads: every operation is thread-safe.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <memory>
#include <mutex>

#include "filters/wrench.h"
#include "sim/controller/simulated_controller.h"
#include "sim/sensor/sensor_emulator.h"
#include "sim/world/contact_world.h"

namespace vorel_sim {

class SimulatedRobotSensor {
 public:
  // Throws std::invalid_argument when either is empty.
  SimulatedRobotSensor(boost::shared_ptr<SimulatedController> controller,
                       std::shared_ptr<ContactWorld> world);

  // The sensor's reading now: world->measure(controller->robotState()).
  vorel_device::Wrench wrenchNow();

  // A provider for SensorEmulator::setWrenchProvider that calls wrenchNow()
  // for every frame. It shares this object's state (frame count, last wrench).
  SensorEmulator::WrenchProvider provider();
  // emulator.setWrenchProvider(provider()).
  void attach(SensorEmulator& emulator);

  // Frames provided so far, and the last wrench provided (N, N m, sensor axes).
  std::uint64_t framesProvided() const;
  vorel_device::Wrench lastWrench() const;

  const boost::shared_ptr<SimulatedController>& controller() const { return shared_->controller; }
  const std::shared_ptr<ContactWorld>& world() const { return shared_->world; }

 private:
  struct Shared {
    boost::shared_ptr<SimulatedController> controller;
    std::shared_ptr<ContactWorld> world;
    std::atomic<std::uint64_t> frames{0};
    mutable std::mutex last_mutex;
    vorel_device::Wrench last;

    vorel_device::Wrench measure();
  };

  std::shared_ptr<Shared> shared_;
};

}  // namespace vorel_sim
