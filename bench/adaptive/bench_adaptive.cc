// Cost of the force-control thread's work: one whole cycle (snapshot, filter
// maintenance, wrench processing, publication, control law, drive command)
// and the step alone (supervisor, wrench processing, filters, law, shaping). The cycle runs on the
// benchmark thread against the stepping controller double in free-running mode, whose
// synchronisation returns at once (after a yield); the controller's period is 2 ms.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "adaptive/force_control_step.h"
#include "adaptive/force_control_thread.h"
#include "comm/command_facade.h"
#include "comm/shared_segment.h"
#include "tests/support/installed_controller.h"

namespace vorel_device {
namespace {

namespace ss = shared_segment;
using Facade = VorelForceTorqueSensorSecondaryInstance;

// Drive records the double keeps without reallocating.
constexpr int kRecordsBeforeClear = 4000;

FilterOptions request(const char* name, int type) {
  FilterOptions o;
  std::memcpy(o.name, name, std::strlen(name));
  o.type = type;
  o.cutoff_frequency = 40.0;
  o.reject_frequency = 60.0;
  o.bandwidth = 8.0;
  o.rising_rate = 30.0;
  o.falling_rate = -30.0;
  return o;
}

// A fresh segment, the facade, the free-running double and a thread (not
// started) with force control on every axis.
class Rig {
 public:
  explicit Rig(bool filters) {
    segment_ = std::make_unique<ss::Segment>(ss::createSegment());
    mutex_ = ss::createMutex();
    objects_ = ss::constructObjects(*segment_);
    objects_.frame->header = RxFrame::kHeader;  // as published by the reader
    for (int i = 0; i < 6; ++i)
      objects_.frame->ft_data[i] = 1.0f + static_cast<float>(i);
    *objects_.sensor_to_tfc_transform = hx4rc_api::Frame::Identity();
    controller_.controller().setFreeRunning(true);
    controller_.controller().setRcState(2);
    controller_.controller().setToolLoad(0.8, hx4rc_api::Vector(0.0, 0.0, 0.04));
    facade_ = std::make_unique<Facade>(10);
    facade_->setEnabledAxes(true, true, true, true, true, true);
    facade_->activate(true, true);
    thread_ = std::make_unique<AdaptiveThread>(controller_.program(), 0, 500.0);
    if (filters) {
      thread_->addFilter(request("lp", kLowPassFilter));
      thread_->addFilter(request("notch", kNotchFilter));
      thread_->addFilter(request("rl", kRateLimiter));
      thread_->addFilter(request("hp", kHighPassRateLimiter));
      facade_->setEnabledSystemFilters(true);
    }
    thread_->cycleMethod();  // takes the commands: force control active
  }

  AdaptiveThread& thread() { return *thread_; }
  // The reader's publication of a new frame (same values): the next cycle
  // takes it as a new sample, as at 500 Hz.
  void publish() { ++objects_.sensor_health->frames_published; }
  vorel_test::SteppingController& controller() { return controller_.controller(); }

 private:
  ss::RemovalGuard guard_;
  std::unique_ptr<ss::Segment> segment_;
  boost::shared_ptr<ss::Mutex> mutex_;
  ss::Objects objects_;
  vorel_test::InstalledController controller_;
  std::unique_ptr<Facade> facade_;
  std::unique_ptr<AdaptiveThread> thread_;
};

void clearRecordsEvery(benchmark::State& state, Rig& rig, int& count) {
  if (++count < kRecordsBeforeClear)
    return;
  state.PauseTiming();
  rig.controller().clearRecords();
  count = 0;
  state.ResumeTiming();
}

void BM_Cycle(benchmark::State& state) {
  Rig rig(state.range(0) != 0);
  int count = 0;
  for (auto _ : state) {
    rig.publish();
    rig.thread().cycleMethod();
    clearRecordsEvery(state, rig, count);
  }
  if (!rig.thread().wasActive())
    state.SkipWithError("force control was not active");
}
BENCHMARK(BM_Cycle)->ArgName("four_filters_and_system_filter")->Arg(0)->Arg(1);

void BM_Step(benchmark::State& state) {
  ForceControlStep step(500.0);
  ForceControlCommands commands;
  commands.translation = true;
  commands.rotation = true;
  commands.enabled_axes = {{1, 1, 1, 1, 1, 1}};
  commands.sensor_to_tfc_transform = hx4rc_api::Frame::Identity();
  if (state.range(0) != 0) {
    for (const FilterOptions& o :
         {request("lp", kLowPassFilter), request("notch", kNotchFilter),
          request("rl", kRateLimiter), request("hp", kHighPassRateLimiter)})
      step.addFilter(o);
    commands.enabled_system_filters = 1;
  }
  step.takeCommands(commands);
  StepInput in;
  in.new_sample = true;
  in.frame.header = RxFrame::kHeader;
  for (int i = 0; i < 6; ++i)
    in.frame.ft_data[i] = 0.5f * static_cast<float>(i);
  in.robot.flange = hx4rc_api::Frame::Identity();
  in.robot.tcp_in_flange = hx4rc_api::Frame::Identity();
  for (auto _ : state)
    benchmark::DoNotOptimize(step.run(in));
}
BENCHMARK(BM_Step)->ArgName("four_filters_and_system_filter")->Arg(0)->Arg(1);

}  // namespace
}  // namespace vorel_device
