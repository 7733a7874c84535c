// Robot-program functions of commissioning: samples of the sensor's raw
// wrench in a few orientations, the identification of the tool load and the
// sensor's bias from them, and forgetting the samples.
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>

#include "adaptive/adaptive_thread.h"
#include "adaptive/wrench_processing.h"
#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "device/vorel_ft_sensor.h"
#include "host/console.h"

namespace vorel_device {

namespace {

using hx4rc_api::Model;
using tool_load::Vec3;

// The robot stands still when its flange moves less than this between the
// window's first and any later cycle.
constexpr double kStillPositionM = 1e-4;  // 0.1 mm
constexpr double kStillRotation = 1e-4;   // matrix entries, about 0.006 degrees

bool moved(const hx4rc_api::Frame& from, const hx4rc_api::Frame& to) {
  if ((to.position - from.position).Norm() > kStillPositionM)
    return true;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      if (!(std::fabs(to.rotation(r, c) - from.rotation(r, c)) <= kStillRotation))
        return true;
  return false;
}

std::string vec(const Vec3& v, const char* format = "%.4f") {
  std::string out = "(";
  char text[48];
  for (int i = 0; i < 3; ++i) {
    std::snprintf(text, sizeof(text), format, v[i]);
    out += text;
    out += i < 2 ? ", " : ")";
  }
  return out;
}

// The sensor's pose on the flange from mounting argument 1, as the facade
// hands it to force control; all NaN when the configuration has none.
hx4rc_api::Frame mountedSensorPose(const boost::optional<boost::property_tree::ptree>& mounting) {
  hx4rc_api::Frame pose;  // NaN
  if (!mounting)
    return pose;
  try {
    pose = hx4_bundle_api::ArgProviderXml(*mounting).getRPose(1).toFrame(true);
  } catch (const std::exception&) {
    // No usable argument 1: the pose stays unknown.
  }
  return pose;
}

// True when force control is off; otherwise (or without a reading) false,
// with the ERROR line when it is on: commissioning needs a robot that force
// control does not move. `outcome` ends the line.
bool forceControlOff(VorelForceTorqueSensorSecondaryInstance& facade, const char* name,
                     const char* outcome) {
  bool active = false;
  if (!facade.getForceControlActive(active))
    return false;
  if (active) {
    hx4_program_api_internals::Console::write(
        std::string("[ERROR] ") + name +
        ": force control is on; switch it off (deactivateForceControl) before commissioning; " +
        outcome + "\n");
  }
  return !active;
}

}  // namespace

VorelFTSensor::Result VorelFTSensor::captureLoadSample() {
  const char* const name = "captureLoadSample";
  boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance> bound;
  {
    FacadeAccess facade = facadeFor(name);
    if (!facade)
      return Result::Success();
    if (!forceControlOff(*facade, name, "no sample taken"))
      return Result::Success();
    bound = facade.get();
  }

  hx4_program_api::ProgramInterface& controller = *program();
  controller.sync(false);
  const hx4rc_api::Frame start =
      controller.getFrame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD);
  double sum[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  int frames = 0;
  std::uint64_t last_published = 0;
  bool first = true;
  for (int cycle = 0; cycle < kLoadSampleWindowCycles; ++cycle) {
    controller.sync(false);
    const hx4rc_api::Frame now =
        controller.getFrame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD);
    if (moved(start, now)) {
      logError(std::string(name) +
               ": the robot moved during the sampling window; let it stand still; no sample "
               "taken");
      return Result::Success();
    }
    RxFrame frame;
    std::uint64_t published = 0;
    {
      FacadeAccess facade = facadeFor(name);
      if (!facade || facade.get() != bound) {
        logError(std::string(name) + ": the device was re-activated or unbound; no sample taken");
        return Result::Success();
      }
      if (!facade->getPublishedFrame(frame, published))
        return Result::Success();
    }
    // Each published frame once; the first look only sets the mark.
    if (first || published == last_published) {
      first = false;
      last_published = published;
      continue;
    }
    last_published = published;
    if (!AdaptiveThread::isUsable(frame))
      continue;
    for (int i = 0; i < 6; ++i) {
      const float value = frame.ft_data[i];
      sum[i] += static_cast<double>(value);
    }
    ++frames;
  }
  if (frames == 0) {
    logError(std::string(name) + ": no frame with status 0 and finite values arrived in the " +
             str(kLoadSampleWindowCycles * 2) + " ms window; no sample taken");
    return Result::Success();
  }

  tool_load::Sample sample;
  for (int i = 0; i < 3; ++i) {
    sample.force[i] = sum[i] / frames;
    sample.torque[i] = sum[3 + i] / frames;
  }
  sample.gravity = tool_load::gravityInSensor(start.rotation, mountedSensorPose(mountingParams()));
  std::size_t number = 0;
  {
    std::lock_guard<std::mutex> lock(load_samples_mutex);
    if (load_samples.size() == kMaxLoadSamples)
      load_samples.erase(load_samples.begin());
    load_samples.push_back(sample);
    number = load_samples.size();
  }
  const Vec3 direction{sample.gravity[0] / kGravity, sample.gravity[1] / kGravity,
                       sample.gravity[2] / kGravity};
  logInfo(std::string(name) + ": sample " + str(number) + " of at most " + str(kMaxLoadSamples) +
          ": force " + vec(sample.force) + " N, torque " + vec(sample.torque) +
          " N m, gravity direction in sensor axes " + vec(direction, "%.3f") + ", from " +
          str(frames) + " frames");
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::identifyToolLoad(Array& result) {
  const char* const name = "identifyToolLoad";
  FacadeAccess facade = facadeFor(name);
  if (!facade)
    return Result::Success();
  if (!forceControlOff(*facade, name, "nothing changed"))
    return Result::Success();
  std::vector<tool_load::Sample> samples;
  {
    std::lock_guard<std::mutex> lock(load_samples_mutex);
    samples = load_samples;
  }
  // The fit in sensor axes with the pose force control compensates with.
  const hx4rc_api::Frame sensor_in_flange = mountedSensorPose(mountingParams());
  const tool_load::Result fit = tool_load::fit(samples, sensor_in_flange);
  if (!fit.ok) {
    logError(std::string(name) + ": " + fit.refusal + "; nothing changed");
    return Result::Success();
  }
  const tool_load::Fit& f = fit.fit;

  // The bias that force control sees in the tool frame: the sensor's own
  // bias, moved to the TCP as the wrench is.
  Wrench sensor_bias;
  for (int i = 0; i < 3; ++i) {
    sensor_bias[i] = f.force_bias[i];
    sensor_bias[3 + i] = f.torque_bias[i];
  }
  const hx4rc_api::Frame tcp_in_flange =
      program()->getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE);
  const Wrench tcp_bias = transformToTcp(sensor_bias, tcp_in_flange, sensor_in_flange);
  double offset[6];
  for (int i = 0; i < 6; ++i)
    offset[i] = tcp_bias[i];
  for (double v : offset) {
    if (!std::isfinite(v)) {
      logError(std::string(name) +
               ": the tool frame is not known (TCP or sensor pose not finite); nothing changed");
      return Result::Success();
    }
  }

  // The result first: an array without rows 0..3 ends the call (the host's
  // out_of_range) before anything is applied.
  const Vec3& cog = f.cog_flange;
  result.item(0, 0) = f.mass;
  for (int i = 0; i < 3; ++i)
    result.item(1 + i, 0) = cog[i];

  char text[160];
  std::snprintf(text, sizeof(text), "%.4f kg", f.mass);
  logInfo(std::string(name) + ": mass " + text + ", centre of gravity " + vec(cog) +
          " m in flange coordinates from the flange origin (" + vec(f.cog) +
          " m in sensor axes from the sensor's origin); sensor bias, sensor axes: force " +
          vec(f.force_bias) + " N, torque " + vec(f.torque_bias) + " N m; from " +
          str(samples.size()) + " samples (reciprocal condition " + str(f.reciprocal_condition) +
          ")");
  for (std::size_t i = 0; i < samples.size(); ++i) {
    std::snprintf(text, sizeof(text), "%.4f N, %.5f N m", f.force_residual[i],
                  f.torque_residual[i]);
    logInfo(std::string(name) + ": residual of sample " + str(i + 1) + ": " + text);
  }
  std::snprintf(text, sizeof(text),
                "<arg type=\"load\"><mass>%.4f</mass><cog>%.5f %.5f %.5f</cog></arg>", f.mass,
                cog[0], cog[1], cog[2]);
  logInfo(
      std::string(name) +
      ": to make it permanent, use as mounting argument 0 in the device configuration: " + text);

  // Applied for the rest of the activation; the samples are used up.
  boost::shared_ptr<hx4_program_api::Load> tool_load =
      program()->systemVariables().getLoad("toolload", hx4rc_api::Load::SysId::LOAD_TOOL);
  *tool_load = hx4_program_api::Load(f.mass, hx4_program_api::Position(cog[0], cog[1], cog[2]));
  facade->requestToolLoadReload();
  facade->setWrenchOffset(offset);
  {
    std::lock_guard<std::mutex> lock(load_samples_mutex);
    load_samples.clear();
  }
  logInfo(std::string(name) +
          ": applied: the host's tool load, its reload by force control, and the bias " +
          vec({offset[0], offset[1], offset[2]}) + " N, " + vec({offset[3], offset[4], offset[5]}) +
          " N m in the tool frame; the " + str(samples.size()) + " samples are cleared");
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::clearLoadSamples() {
  const char* const name = "clearLoadSamples";
  if (!facadeFor(name))
    return Result::Success();
  std::size_t cleared = 0;
  {
    std::lock_guard<std::mutex> lock(load_samples_mutex);
    cleared = load_samples.size();
    load_samples.clear();
  }
  logInfo(std::string(name) + ": " + str(cleared) + " samples cleared");
  return Result::Success();
}

}  // namespace vorel_device
