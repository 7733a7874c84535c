// Cost of one append to the force-control recorder's ring (the force-control
// thread's per-cycle price): a 392-byte record copied into the next slot
// between two sequence stores, alone and while a reader thread reads the ring
// back to back (the cache lines it pulls away are the writer's worst case).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "comm/force_control_recorder.h"

namespace {

namespace rec = vorel_device::recorder;
using vorel_device::ForceControlRecord;

// A ring of its own name, so that no device or test on the machine is touched.
std::unique_ptr<rec::RecorderWriter> benchRing() {
  return rec::createRecorder(rec::kDefaultCapacity,
                             "VorelForceControlRecorderBench" + std::to_string(::getpid()));
}

void BM_RecorderAppend(benchmark::State& state) {
  auto writer = benchRing();
  ForceControlRecord record;
  for (auto _ : state) {
    ++record.cycle;
    record.controller_time = static_cast<double>(record.cycle) * rec::kCycleTime;
    writer->append(record);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RecorderAppend);

void BM_RecorderAppend_ReaderPolling(benchmark::State& state) {
  auto writer = benchRing();
  rec::RecorderReader::Failure failure;
  std::string message;
  auto reader = rec::RecorderReader::attach(failure, message, writer->name());
  if (!reader) {
    state.SkipWithError(message.c_str());
    return;
  }
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> complete{0};
  std::thread polling([&] {
    ForceControlRecord out;
    std::uint64_t ok = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      const std::uint64_t next = reader->nextIndex();
      if (next > 0 && reader->read(next - 1, out) == rec::RecorderReader::Read::kOk)
        ++ok;
    }
    complete.store(ok);
  });
  ForceControlRecord record;
  for (auto _ : state) {
    ++record.cycle;
    writer->append(record);
    benchmark::ClobberMemory();
  }
  stop.store(true);
  polling.join();
  state.counters["reader_records"] = static_cast<double>(complete.load());
}
BENCHMARK(BM_RecorderAppend_ReaderPolling)->UseRealTime();

}  // namespace
