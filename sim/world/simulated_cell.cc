#include "sim/world/simulated_cell.h"

#include <boost/make_shared.hpp>
#include <cmath>

namespace vorel_sim {

SimulatedCell::SimulatedCell(const CellSetup& setup, unsigned long seed, bool with_emulator)
    : setup_(setup), controller_(boost::make_shared<vorel_sim::SimulatedController>()) {
  if (setup.motion)
    controller_->setMotionLimits(*setup.motion);
  if (!with_emulator)
    return;
  vorel_sim::ContactWorld::Config world;
  vorel_sim::ContactPlane plane;
  plane.point = hx4rc_api::Vector(0.0, 0.0, setup.plane_z);
  plane.stiffness = setup.stiffness;
  world.plane = plane;
  world.force_noise = setup.force_noise;
  world.torque_noise = setup.torque_noise;
  world.seed = seed;
  world.sensor_in_flange = setup.sensor_in_flange;
  if (setup.tool) {
    world.tool_mass = setup.tool->mass;
    world.tool_cog = setup.tool->cog;
  }
  world_ = std::make_shared<vorel_sim::ContactWorld>(world);
  robot_sensor_ = std::make_unique<vorel_sim::SimulatedRobotSensor>(controller_, world_);
  emulator_ = std::make_unique<vorel_sim::SensorEmulator>(seed);
  auto provider = robot_sensor_->provider();
  if (setup.vibration) {
    const Vibration v = *setup.vibration;
    const auto epoch = vorel_sim::SensorEmulator::Clock::now();
    provider = [provider, v, epoch](vorel_sim::SensorEmulator::Clock::time_point t) {
      vorel_device::Wrench w = provider(t);
      const double s = std::chrono::duration<double>(t - epoch).count();
      w[v.component] += v.amplitude * std::sin(2.0 * M_PI * v.frequency_hz * s);
      return w;
    };
  }
  bool biased = false;
  for (int i = 0; i < 6; ++i)
    biased = biased || setup.sensor_bias[i] != 0.0;
  if (biased) {
    provider = [provider,
                bias = setup.sensor_bias](vorel_sim::SensorEmulator::Clock::time_point t) {
      vorel_device::Wrench w = provider(t);
      for (int i = 0; i < 6; ++i)
        w[i] += bias[i];
      return w;
    };
  }
  if (setup.added_wrench) {
    provider = [provider,
                added = setup.added_wrench](vorel_sim::SensorEmulator::Clock::time_point t) {
      vorel_device::Wrench w = provider(t);
      const vorel_device::Wrench extra = added(t);
      for (int i = 0; i < 6; ++i)
        w[i] += extra[i];
      return w;
    };
  }
  emulator_->setWrenchProvider(provider);
}

SimulatedCell::~SimulatedCell() {
  stop();
}

void SimulatedCell::start() {
  controller_->start();
  if (emulator_)
    emulator_->start();
}

void SimulatedCell::stop() {
  if (emulator_)
    emulator_->stop();
  controller_->stop();
}

double SimulatedCell::now() const {
  return static_cast<double>(controller_->tick()) *
         std::chrono::duration<double>(controller_->cycle()).count();
}

}  // namespace vorel_sim
