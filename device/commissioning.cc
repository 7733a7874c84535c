#include "device/commissioning.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "adaptive/force_control_thread.h"
#include "adaptive/wrench_processing.h"
#include "comm/command_facade.h"
#include "device/device_log.h"
#include "device/segment_binding.h"

namespace vorel_device {

namespace {

using hx4rc_api::Model;
using tool_load::Vec3;
using Facade = VorelForceTorqueSensorSecondaryInstance;

constexpr const char* kCapture = "captureLoadSample";
constexpr const char* kIdentify = "identifyToolLoad";

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
bool forceControlOff(Facade& facade, const char* name, const char* outcome) {
  bool active = false;
  if (!facade.getForceControlActive(active))
    return false;
  if (active) {
    logError(std::string(name) +
             ": force control is on; switch it off (deactivateForceControl) before "
             "commissioning; " +
             outcome);
  }
  return !active;
}

hx4rc_api::Frame flange(hx4_program_api::ProgramInterface& controller) {
  return controller.getFrame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD);
}

// The fit's lines: the result, each sample's residual and the configuration
// element that makes it permanent.
void reportFit(const tool_load::Fit& f, std::size_t samples) {
  char text[160];
  std::snprintf(text, sizeof(text), "%.4f kg", f.mass);
  logInfo(std::string(kIdentify) + ": mass " + text + ", centre of gravity " + vec(f.cog_flange) +
          " m in flange coordinates from the flange origin (" + vec(f.cog) +
          " m in sensor axes from the sensor's origin); sensor bias, sensor axes: force " +
          vec(f.force_bias) + " N, torque " + vec(f.torque_bias) + " N m; from " + str(samples) +
          " samples (reciprocal condition " + str(f.reciprocal_condition) + ")");
  for (std::size_t i = 0; i < samples; ++i) {
    std::snprintf(text, sizeof(text), "%.4f N, %.5f N m", f.force_residual[i],
                  f.torque_residual[i]);
    logInfo(std::string(kIdentify) + ": residual of sample " + str(i + 1) + ": " + text);
  }
  const Vec3& cog = f.cog_flange;
  std::snprintf(text, sizeof(text),
                "<arg type=\"load\"><mass>%.4f</mass><cog>%.5f %.5f %.5f</cog></arg>", f.mass,
                cog[0], cog[1], cog[2]);
  logInfo(
      std::string(kIdentify) +
      ": to make it permanent, use as mounting argument 0 in the device configuration: " + text);
}

}  // namespace

void Commissioning::captureLoadSample() {
  boost::shared_ptr<Facade> bound;
  {
    FacadeAccess facade = binding_.facadeFor(kCapture);
    if (!facade || !forceControlOff(*facade, kCapture, "no sample taken"))
      return;
    bound = facade.get();
  }
  // A full set is refused rather than shifted: dropping the first sample
  // silently would change the set the operator is building.
  if (samples().size() >= Commissioning::kMaxLoadSamples) {
    logError(std::string(kCapture) + ": " + str(Commissioning::kMaxLoadSamples) +
             " samples are kept already, the most there can be; no sample taken "
             "(identifyToolLoad uses them, clearLoadSamples forgets them)");
    return;
  }
  hx4_program_api::ProgramInterface& controller = *device_.program();
  controller.sync(false);
  const hx4rc_api::Frame start = flange(controller);
  double sum[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  int frames = 0;
  if (!sampleWindow(bound, start, sum, frames))
    return;
  if (frames == 0) {
    logError(std::string(kCapture) + ": no frame with status 0 and finite values arrived in the " +
             str(Commissioning::kLoadSampleWindowCycles * 2) + " ms window; no sample taken");
    return;
  }
  tool_load::Sample sample;
  for (int i = 0; i < 3; ++i) {
    sample.force[i] = sum[i] / frames;
    sample.torque[i] = sum[3 + i] / frames;
  }
  sample.gravity =
      tool_load::gravityInSensor(start.rotation, mountedSensorPose(device_.mountingParams()));
  const std::size_t number = store(sample);
  if (number == 0) {
    logError(std::string(kCapture) + ": " + str(Commissioning::kMaxLoadSamples) +
             " samples are kept already, the most there can be; no sample taken");
    return;
  }
  const Vec3 direction{sample.gravity[0] / kGravity, sample.gravity[1] / kGravity,
                       sample.gravity[2] / kGravity};
  logInfo(std::string(kCapture) + ": sample " + str(number) + " of at most " +
          str(Commissioning::kMaxLoadSamples) + ": force " + vec(sample.force) + " N, torque " +
          vec(sample.torque) + " N m, gravity direction in sensor axes " + vec(direction, "%.3f") +
          ", from " + str(frames) + " frames");
}

bool Commissioning::sampleWindow(const boost::shared_ptr<Facade>& bound,
                                 const hx4rc_api::Frame& start, double (&sum)[6], int& frames) {
  hx4_program_api::ProgramInterface& controller = *device_.program();
  std::uint64_t last_published = 0;
  bool first = true;
  for (int cycle = 0; cycle < Commissioning::kLoadSampleWindowCycles; ++cycle) {
    controller.sync(false);
    if (moved(start, flange(controller))) {
      logError(std::string(kCapture) +
               ": the robot moved during the sampling window; let it stand still; no sample "
               "taken");
      return false;
    }
    RxFrame frame;
    std::uint64_t published = 0;
    {
      FacadeAccess facade = binding_.facadeFor(kCapture);
      if (!facade || facade.get() != bound) {
        logError(std::string(kCapture) +
                 ": the device was re-activated or unbound; no sample taken");
        return false;
      }
      if (!facade->getPublishedFrame(frame, published))
        return false;
    }
    // Each published frame once; the first look only sets the mark.
    const bool fresh = !first && published != last_published;
    first = false;
    last_published = published;
    if (!fresh || !ForceControlStep::isUsable(frame))
      continue;
    for (int i = 0; i < 6; ++i)
      sum[i] += static_cast<double>(frame.ft_data[i]);
    ++frames;
  }
  return true;
}

void Commissioning::identifyToolLoad(Array& result) {
  FacadeAccess facade = binding_.facadeFor(kIdentify);
  if (!facade || !forceControlOff(*facade, kIdentify, "nothing changed"))
    return;
  const std::vector<tool_load::Sample> taken = samples();
  // The fit in sensor axes with the pose force control compensates with.
  const hx4rc_api::Frame sensor_in_flange = mountedSensorPose(device_.mountingParams());
  const tool_load::Result fit = tool_load::fit(taken, sensor_in_flange);
  if (!fit.ok) {
    logError(std::string(kIdentify) + ": " + fit.refusal + "; nothing changed");
    return;
  }
  double offset[6];
  if (!toolFrameBias(fit.fit, sensor_in_flange, offset))
    return;
  // The result first: an array without rows 0..3 ends the call (the host's
  // out_of_range) before anything is applied.
  result.item(0, 0) = fit.fit.mass;
  for (int i = 0; i < 3; ++i)
    result.item(1 + i, 0) = fit.fit.cog_flange[i];
  reportFit(fit.fit, taken.size());
  apply(facade, fit.fit, offset, taken.size());
}

bool Commissioning::toolFrameBias(const tool_load::Fit& f, const hx4rc_api::Frame& sensor_in_flange,
                                  double (&offset)[6]) {
  // The bias that force control sees in the tool frame: the sensor's own
  // bias, moved to the TCP as the wrench is.
  Wrench sensor_bias;
  for (int i = 0; i < 3; ++i) {
    sensor_bias[i] = f.force_bias[i];
    sensor_bias[3 + i] = f.torque_bias[i];
  }
  const hx4rc_api::Frame tcp_in_flange =
      device_.program()->getFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE);
  const Wrench tcp_bias = transformToTcp(sensor_bias, tcp_in_flange, sensor_in_flange);
  for (int i = 0; i < 6; ++i)
    offset[i] = tcp_bias[i];
  for (double v : offset) {
    if (!std::isfinite(v)) {
      logError(std::string(kIdentify) +
               ": the tool frame is not known (TCP or sensor pose not finite); nothing changed");
      return false;
    }
  }
  return true;
}

void Commissioning::apply(FacadeAccess& facade, const tool_load::Fit& f, const double (&offset)[6],
                          std::size_t samples) {
  // Applied for the rest of the activation; the samples are used up.
  const Vec3& cog = f.cog_flange;
  boost::shared_ptr<hx4_program_api::Load> tool_load =
      device_.program()->systemVariables().getLoad("toolload", hx4rc_api::Load::SysId::LOAD_TOOL);
  *tool_load = hx4_program_api::Load(f.mass, hx4_program_api::Position(cog[0], cog[1], cog[2]));
  facade->requestToolLoadReload();
  facade->setWrenchOffset(offset);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    samples_.clear();
  }
  logInfo(std::string(kIdentify) +
          ": applied: the host's tool load, its reload by force control, and the bias " +
          vec({offset[0], offset[1], offset[2]}) + " N, " + vec({offset[3], offset[4], offset[5]}) +
          " N m in the tool frame; the " + str(samples) + " samples are cleared");
}

void Commissioning::clearLoadSamples() {
  if (!binding_.facadeFor("clearLoadSamples"))
    return;
  std::size_t cleared = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cleared = samples_.size();
    samples_.clear();
  }
  logInfo("clearLoadSamples: " + str(cleared) + " samples cleared");
}

std::size_t Commissioning::store(const tool_load::Sample& sample) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (samples_.size() >= Commissioning::kMaxLoadSamples)
    return 0;
  samples_.push_back(sample);
  return samples_.size();
}

std::vector<tool_load::Sample> Commissioning::samples() {
  std::lock_guard<std::mutex> lock(mutex_);
  return samples_;
}

}  // namespace vorel_device
