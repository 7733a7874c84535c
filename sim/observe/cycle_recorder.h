// CycleRecorder: one CycleRecord per controller cycle. The simulated
// controller's tick observer only queues the tick's snapshot (the clock thread
// never waits on anything else); the recorder's own thread takes the queued
// snapshots, samples the shared segment once per batch through the SegmentTap
// (when one is set), and hands each record to the per-cycle observers (the
// trace writer, measurements) and to the run's record list.
//
// Threads: start(), stop() from the owner; setTap(), addObserver() before
// start() or from any thread; observers run on the recorder's thread.
#pragma once

#include <boost/shared_ptr.hpp>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/controller/pi_mutex.h"
#include "sim/controller/simulated_controller.h"
#include "sim/observe/cycle_record.h"
#include "sim/observe/segment_tap.h"

namespace vorel_sim {

class CycleRecorder {
 public:
  using Observer = std::function<void(const CycleRecord&)>;

  explicit CycleRecorder(boost::shared_ptr<vorel_sim::SimulatedController> controller);
  ~CycleRecorder();
  CycleRecorder(const CycleRecorder&) = delete;
  CycleRecorder& operator=(const CycleRecorder&) = delete;

  void setTap(std::shared_ptr<SegmentTap> tap);
  void addObserver(Observer observer);
  // false: records go to the observers only, and records() keeps just the
  // last one (a long run's memory stays flat). Default true.
  void setKeepRecords(bool keep);

  // Installs the tick observer and starts the recorder's thread.
  void start();
  // Removes the tick observer, records what is queued and joins.
  void stop();

  // Every record so far, in tick order.
  std::vector<CycleRecord> records() const;

  // A record from a snapshot and a segment sample (pure).
  static CycleRecord makeRecord(const vorel_sim::ControllerSnapshot& snapshot,
                                const SegmentSample* sample);

 private:
  void run();

  boost::shared_ptr<vorel_sim::SimulatedController> controller_;

  // Priority inheritance: the controller's real-time clock thread queues
  // under it, the recorder's thread (normal scheduling) drains.
  mutable vorel_sim::PiMutex mutex_;
  std::condition_variable_any queued_;
  std::vector<vorel_sim::ControllerSnapshot> queue_;
  bool stopping_ = false;
  std::shared_ptr<SegmentTap> tap_;
  std::vector<Observer> observers_;
  bool keep_records_ = true;
  std::vector<CycleRecord> records_;
  std::thread thread_;
};

}  // namespace vorel_sim
