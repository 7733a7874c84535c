// Cost of the shared-segment access paths: one facade readout
// (getTCPFrameFTData: named-mutex lock, two look-ups by name, twelve doubles)
// alone and while the reader runs over the sensor emulator (500 frames/s,
// 5 ms cycles) and a writer thread plays the force-control thread (one locked
// write of the TCP wrench every 2 ms, or back to back as a worst case); one
// lock and unlock of the named mutex; one look-up by name.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "comm/command_facade.h"
#include "comm/sensor_reader.h"
#include "comm/serial_port.h"
#include "comm/shared_segment.h"
#include "sim/sensor/sensor_emulator.h"

namespace {

namespace ss = vorel_device::shared_segment;
using vorel_device::VorelForceTorqueSensorComm;
using vorel_device::VorelForceTorqueSensorSecondaryInstance;
using vorel_device::Wrench;

void BM_FacadeTCPReadout_Uncontended(benchmark::State& state) {
  VorelForceTorqueSensorComm reader(5);
  VorelForceTorqueSensorSecondaryInstance facade(10);
  double out[6];
  for (auto _ : state) {
    facade.getTCPFrameFTData(out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_FacadeTCPReadout_Uncontended);

// Arg 0: the writer writes every 2 ms, as the force-control cycle does.
// Arg 1: the writer writes back to back.
void BM_FacadeTCPReadout_ReaderAndWriterRunning(benchmark::State& state) {
  const bool back_to_back = state.range(0) != 0;
  vorel_sim::SensorEmulator emulator;
  int port = vorel_device::serial_port::openAndConfigure(emulator.slavePath());
  VorelForceTorqueSensorComm reader(5);
  reader.setPort(port);
  VorelForceTorqueSensorSecondaryInstance facade(10);
  if (!emulator.start() || !reader.start(1000) || !facade.start(1000)) {
    state.SkipWithError("workers did not start");
  }

  std::atomic<bool> stop{false};
  std::atomic<long> writes{0};
  std::thread writer([&] {
    ss::Segment segment = ss::openSegment();
    boost::shared_ptr<ss::Mutex> mutex = ss::openMutex();
    double k = 0.0;
    while (!stop.load()) {
      k += 1.0;
      const Wrench w{{k, k, k, k, k, k}};
      {
        ss::Lock lock(*mutex);
        *ss::find<Wrench>(segment, ss::kTcpTransformedWrench) = w;
      }
      ++writes;
      if (!back_to_back)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  double out[6];
  for (auto _ : state) {
    facade.getTCPFrameFTData(out);
    benchmark::DoNotOptimize(out);
  }
  stop = true;
  writer.join();
  facade.stop(1000);
  reader.stop(1000);
  emulator.stop();
  vorel_device::serial_port::close(port);
  state.counters["reader_cycles"] = reader.readCounter();
  state.counters["writes"] = static_cast<double>(writes.load());
}
BENCHMARK(BM_FacadeTCPReadout_ReaderAndWriterRunning)->Arg(0)->Arg(1)->UseRealTime();

void BM_NamedMutexLockUnlock(benchmark::State& state) {
  VorelForceTorqueSensorComm reader(5);
  boost::shared_ptr<ss::Mutex> mutex = ss::openMutex();
  for (auto _ : state) {
    ss::Lock lock(*mutex);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_NamedMutexLockUnlock);

// Arg 0: "frame", the first object created; arg 1: "sensor_to_tfc_transform",
// the last.
void BM_FindByName(benchmark::State& state) {
  VorelForceTorqueSensorComm reader(5);
  ss::Segment segment = ss::openSegment();
  const char* name = state.range(0) == 0 ? ss::kFrame : ss::kSensorToTfcTransform;
  for (auto _ : state) {
    void* object = state.range(0) == 0
                       ? static_cast<void*>(ss::find<vorel_device::RxFrame>(segment, name))
                       : static_cast<void*>(ss::find<hx4rc_api::Frame>(segment, name));
    benchmark::DoNotOptimize(object);
  }
}
BENCHMARK(BM_FindByName)->Arg(0)->Arg(1);

}  // namespace
