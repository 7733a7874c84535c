// Compute time of one force-control cycle, sample by sample: the whole
// cycleMethod (snapshot under the named mutex, wrench processing, the
// published stages, a chain of four user filters (low-pass, notch, rate
// limiter, high-pass rate limiter) and the system filter, the control law on
// every axis, the drive command, the heartbeat and the record appended to the
// force-control recorder), against a controller whose synchronisation
// returns at once, so that only the cycle's own work is timed. Each
// iteration first publishes a new sensor frame into the segment (not timed).
//
// Besides the mean, the benchmark reports the distribution of the
// per-cycle times as counters, in microseconds: p50_us (median), p99_us,
// p99_9_us, max_us; and "non_finite_commands", which must be 0.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/make_shared.hpp>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "adaptive/force_control_thread.h"
#include "bench/cycle/immediate_controller.h"
#include "comm/command_facade.h"
#include "comm/force_control_recorder.h"
#include "comm/sensor_reader.h"
#include "comm/shared_segment.h"

namespace {

namespace ss = vorel_device::shared_segment;
using Clock = std::chrono::steady_clock;
using vorel_device::FilterOptions;

constexpr int kSamples = 200000;  // cycles timed: 400 s of controller time
constexpr int kWarmUpCycles = 1000;
constexpr double kSamplingRate = 500.0;  // Hz
constexpr double kTwoPi = 6.283185307179586;

FilterOptions request(const char* name, int type) {
  FilterOptions o;
  o.setName(name);
  o.type = type;
  o.cutoff_frequency = 40.0;  // Hz
  o.reject_frequency = 60.0;  // Hz
  o.bandwidth = 8.0;          // Hz
  o.rising_rate = 30.0;       // N/s
  o.falling_rate = -30.0;     // N/s
  return o;
}

// The value at quantile q (0..1) of sorted samples, nearest rank.
double quantile(const std::vector<double>& sorted, double q) {
  const std::size_t rank = static_cast<std::size_t>(std::ceil(q * sorted.size()));
  return sorted[std::min(sorted.size() - 1, rank > 0 ? rank - 1 : 0)];
}

// The segment (created by a reader that is never started), the facade that
// sets the commands, the immediate controller installed as the current one,
// the recorder, and the force-control thread (not started: the benchmark
// runs its cycles).
class CycleRig {
 public:
  CycleRig()
      : reader_(5),
        previous_(hx4_program_api_internals::ControllerBackend::current()),
        controller_(boost::make_shared<vorel_bench::ImmediateController>()),
        program_(boost::make_shared<hx4_program_api::ProgramInterface>(controller_)),
        facade_(10),
        segment_(ss::openSegment()),
        mutex_(ss::openMutex()) {
    hx4_program_api_internals::ControllerBackend::install(controller_);
    facade_.setSensorFrame(hx4_program_api::RobotPose(hx4_program_api::Position(0.0, 0.0, 0.035),
                                                      hx4_program_api::Rotation::RPY(0, 0, 0)));
    facade_.setEnabledAxes(true, true, true, true, true, true);
    facade_.setForceControlGains(1.0, 1.0, 0.1);
    facade_.setSystemFilterParams(50.0, 50.0, -50.0);
    facade_.setEnabledSystemFilters(true);
    facade_.activate(true, true);
    thread_ = std::make_unique<vorel_device::AdaptiveThread>(program_, 0, kSamplingRate);
    thread_->setRecorder(vorel_device::recorder::createRecorder());
    thread_->addFilter(request("low-pass", vorel_device::kLowPassFilter));
    thread_->addFilter(request("notch", vorel_device::kNotchFilter));
    thread_->addFilter(request("rate limiter", vorel_device::kRateLimiter));
    thread_->addFilter(request("high-pass rate limiter", vorel_device::kHighPassRateLimiter));
    // A frame as the reader publishes it: header 0xAA, status 0 (valid).
    ss::Lock lock(*mutex_);
    vorel_device::RxFrame* frame = ss::find<vorel_device::RxFrame>(segment_, ss::kFrame);
    frame->header = vorel_device::RxFrame::kHeader;
    frame->status = 0;
  }

  ~CycleRig() {
    thread_.reset();
    hx4_program_api_internals::ControllerBackend::install(previous_);
  }

  // A new frame: a 3 Hz swing of 5 N / 0.5 N m on every axis around a
  // constant load, as the sensor would send at 500 Hz.
  void nextFrame() {
    const double t = static_cast<double>(++frames_) / kSamplingRate;  // s
    const double swing = std::sin(kTwoPi * 3.0 * t);
    ss::Lock lock(*mutex_);
    vorel_device::RxFrame* frame = ss::find<vorel_device::RxFrame>(segment_, ss::kFrame);
    for (int i = 0; i < 6; ++i) {
      const float value = static_cast<float>(i < 3 ? 2.0 + 5.0 * swing : 0.1 + 0.5 * swing);
      std::memcpy(&frame->ft_data[i], &value, sizeof value);
    }
    // Published as the reader does: the publication count moves, so the
    // cycle takes it as a new sample.
    ++ss::find<vorel_device::SensorHealth>(segment_, ss::kSensorHealth)->frames_published;
  }

  vorel_device::AdaptiveThread& thread() { return *thread_; }
  const vorel_bench::ImmediateController& controller() const { return *controller_; }

 private:
  vorel_device::VorelForceTorqueSensorComm reader_;
  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> previous_;
  boost::shared_ptr<vorel_bench::ImmediateController> controller_;
  boost::shared_ptr<hx4_program_api::ProgramInterface> program_;
  vorel_device::VorelForceTorqueSensorSecondaryInstance facade_;
  ss::Segment segment_;
  boost::shared_ptr<ss::Mutex> mutex_;
  std::unique_ptr<vorel_device::AdaptiveThread> thread_;
  long frames_ = 0;
};

void BM_ForceControlCycle_FourFiltersAndSystemFilter(benchmark::State& state) {
  CycleRig rig;
  for (int i = 0; i < kWarmUpCycles; ++i) {
    rig.nextFrame();
    rig.thread().cycleMethod();
  }
  if (!rig.thread().isActive()) {
    state.SkipWithError("force control is not active");
    return;
  }
  std::vector<double> samples;  // microseconds
  samples.reserve(kSamples);
  for (auto _ : state) {
    rig.nextFrame();
    const Clock::time_point start = Clock::now();
    rig.thread().cycleMethod();
    const Clock::time_point end = Clock::now();
    const double seconds = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(seconds);
    samples.push_back(seconds * 1e6);
  }
  std::sort(samples.begin(), samples.end());
  state.counters["p50_us"] = quantile(samples, 0.5);
  state.counters["p99_us"] = quantile(samples, 0.99);
  state.counters["p99_9_us"] = quantile(samples, 0.999);
  state.counters["max_us"] = samples.back();
  state.counters["samples"] = static_cast<double>(samples.size());
  state.counters["non_finite_commands"] = static_cast<double>(rig.controller().nonFiniteCommands());
  if (rig.controller().commands() != static_cast<std::uint64_t>(kWarmUpCycles + kSamples))
    state.SkipWithError("not every cycle commanded the drive");
}
BENCHMARK(BM_ForceControlCycle_FourFiltersAndSystemFilter)
    ->UseManualTime()
    ->Iterations(kSamples)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
