// Commissioning: samples of the sensor's raw wrench in a few orientations,
// the identification of the tool load and of the sensor's bias from them,
// and forgetting the samples. Both captureLoadSample and identifyToolLoad
// refuse while force control is on.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <mutex>
#include <vector>

#include "adaptive/tool_load_fit.h"
#include "host/hx4_api.h"

namespace vorel_device {

class SegmentBinding;
class FacadeAccess;
class VorelForceTorqueSensorSecondaryInstance;

class Commissioning {
 public:
  using Array = hx4_program_api::Array<hx4_program_api::Number>;
  // A sample's averaging window: 0.5 s of 2 ms controller cycles.
  static constexpr int kLoadSampleWindowCycles = 250;
  // Samples kept at the most; a further capture is refused.
  static constexpr std::size_t kMaxLoadSamples = 16;
  Commissioning(SegmentBinding& binding, hx4_bundle_api::CustomDevice& device)
      : binding_(binding), device_(device) {}

  void captureLoadSample();
  void identifyToolLoad(Array& result);
  void clearLoadSamples();

 private:
  // The window of kLoadSampleWindowCycles cycles from `start` (flange in the
  // world): the sum of the usable frames' raw wrenches and their number;
  // false, with the ERROR line, when the robot moved or the device changed.
  bool sampleWindow(const boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance>& bound,
                    const hx4rc_api::Frame& start, double (&sum)[6], int& frames);
  // The sensor's bias moved to the tool frame as the wrench is; false, with
  // the ERROR line, when the tool frame is not known.
  bool toolFrameBias(const tool_load::Fit& fit, const hx4rc_api::Frame& sensor_in_flange,
                     double (&offset)[6]);
  // Applies the fit for the rest of the activation: the host's tool load,
  // its reload by force control and the tool-frame bias `offset`.
  void apply(FacadeAccess& facade, const tool_load::Fit& fit, const double (&offset)[6],
             std::size_t samples);
  // The sample's number (1..kMaxLoadSamples); 0, and nothing stored, when the
  // set is full.
  std::size_t store(const tool_load::Sample& sample);
  std::vector<tool_load::Sample> samples();

  SegmentBinding& binding_;
  hx4_bundle_api::CustomDevice& device_;
  std::mutex mutex_;
  std::vector<tool_load::Sample> samples_;  // oldest first
};

}  // namespace vorel_device
