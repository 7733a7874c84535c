#include "sim/scenario/run_recording.h"

#include <stdexcept>

#include "sim/scenario/signal_storm.h"

namespace vorel_sim {

RunRecording::RunRecording(const Settings& settings,
                           const boost::shared_ptr<vorel_sim::SimulatedController>& controller,
                           vorel_sim::SensorEmulator* emulator, std::function<double()> clock,
                           const std::function<void(const std::string&)>& say)
    : recorder_(std::make_unique<CycleRecorder>(controller)), trace_path_(settings.trace_path) {
  if (!trace_path_.empty()) {
    try {
      trace_.open(trace_path_);
      recorder_->addObserver([this](const CycleRecord& r) { trace_.write(r); });
    } catch (const std::exception& e) {
      say(std::string("vorel-sim: ") + e.what());
      trace_path_.clear();
    }
  }
  if (!settings.host_faults.empty() && emulator) {
    faults_ = std::make_unique<FaultPlan>(*emulator, settings.host_faults, FaultPlan::Anchor::Host,
                                          std::move(clock));
    host_timed_ = true;
  } else if (!settings.scenario_faults.empty() && emulator) {
    faults_ = std::make_unique<FaultPlan>(*emulator, settings.scenario_faults);
  }
  if (faults_)
    recorder_->addObserver([this](const CycleRecord& r) { faults_->onRecord(r); });
  if (settings.measurement)
    recorder_->setKeepRecords(false);
  if (!settings.measurement || !trace_path_.empty())
    recorder_->start();
}

RunRecording::~RunRecording() {
  faults_.reset();
  recorder_.reset();
}

void RunRecording::programStarts(double now_s) {
  if (faults_ && host_timed_)
    faults_->anchorAt(now_s);
}

void RunRecording::setActivatorKiller(std::function<std::string(bool& done)> killer) {
  if (faults_)
    faults_->setActivatorKiller(std::move(killer));
}

void RunRecording::stop() {
  recorder_->stop();
  recorder_->setTap(nullptr);
}

void RunRecording::collect(RunData& data) {
  data.records = recorder_->records();
  if (!trace_path_.empty()) {
    trace_.close();
    data.trace_path = trace_path_;
    data.trace_rows = trace_.rows();
  }
  if (faults_) {
    faults_->stopSignals();
    data.signals_sent = faults_->signalsSent();
    data.signals_handled = SignalStorm::handled();
    data.faults = faults_->applied();
    data.fault_start_s = faults_->startTime();
  }
}

}  // namespace vorel_sim
