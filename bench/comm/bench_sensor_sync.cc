// Cost of the sensor link's frame handling: CRC-16/X-25 over one frame's 34
// payload bytes, and the synchroniser's throughput (bytes per second) on a
// valid frame stream, on the same stream with 1 % of its bytes dropped,
// inserted or corrupted, and on random bytes, fed from memory (the
// synchroniser alone) and through a real pipe (with the input-queue query and
// read calls a serial port costs). The sensor line delivers about 46 KB/s
// (460800 baud).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "comm/sensor_reader.h"

namespace {

using vorel_device::RxFrame;
using vorel_device::VorelForceTorqueSensorComm;

// The reader with its stop flag cleared, so the drain loop runs on the
// benchmark's thread.
class DrainingComm : public VorelForceTorqueSensorComm {
 public:
  DrainingComm() : VorelForceTorqueSensorComm(5) { stop_requested = false; }
};

std::vector<std::uint8_t> validStream(int frames) {
  std::vector<std::uint8_t> out;
  std::mt19937 rng(7);
  for (int n = 0; n < frames; ++n) {
    RxFrame f{};
    f.header = RxFrame::kHeader;
    for (int i = 0; i < 6; ++i)
      f.ft_data[i] = static_cast<float>(rng() % 20000) * 0.01f - 100.0f;
    f.crc = VorelForceTorqueSensorComm::crc16_x25(f.data(), RxFrame::kDataSize);
    out.insert(out.end(), f.bytes(), f.bytes() + RxFrame::kSize);
  }
  return out;
}

// The valid stream with 1 % of its bytes faulty: each fault drops the byte,
// inserts a random byte after it or replaces it by a random byte.
std::vector<std::uint8_t> faultyStream(int frames) {
  const std::vector<std::uint8_t> valid = validStream(frames);
  std::vector<std::uint8_t> out;
  std::mt19937 rng(13);
  for (const std::uint8_t b : valid) {
    if (rng() % 100 != 0) {
      out.push_back(b);
      continue;
    }
    switch (rng() % 3) {
      case 0:  // dropped
        break;
      case 1:  // a byte inserted after it
        out.push_back(b);
        out.push_back(static_cast<std::uint8_t>(rng()));
        break;
      default:  // corrupted
        out.push_back(static_cast<std::uint8_t>(b ^ (1u + rng() % 255)));
        break;
    }
  }
  return out;
}

std::vector<std::uint8_t> randomStream(std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::mt19937 rng(11);
  for (auto& b : out)
    b = static_cast<std::uint8_t>(rng());
  return out;
}

void BM_Crc16X25_34Bytes(benchmark::State& state) {
  const std::vector<std::uint8_t> frame = validStream(1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(VorelForceTorqueSensorComm::crc16_x25(
        frame.data() + RxFrame::kDataOffset, RxFrame::kDataSize));
  }
  state.SetBytesProcessed(state.iterations() * RxFrame::kDataSize);
}
BENCHMARK(BM_Crc16X25_34Bytes);

// Also reports the frames taken per pass over the stream.
void drainFromMemory(benchmark::State& state, const std::vector<std::uint8_t>& stream) {
  DrainingComm comm;
  const std::uint64_t before = comm.frameSynchroniser().counts().frames;
  for (auto _ : state) {
    VorelForceTorqueSensorComm::MemorySource source{stream.data(), stream.size()};
    benchmark::DoNotOptimize(comm.readFrameFrom(source));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
  state.counters["frames_per_pass"] =
      static_cast<double>(comm.frameSynchroniser().counts().frames - before) /
      static_cast<double>(state.iterations());
}

void BM_SyncFromMemory_ValidStream(benchmark::State& state) {
  drainFromMemory(state, validStream(1000));
}
BENCHMARK(BM_SyncFromMemory_ValidStream);

void BM_SyncFromMemory_OnePercentByteFaults(benchmark::State& state) {
  drainFromMemory(state, faultyStream(1000));
}
BENCHMARK(BM_SyncFromMemory_OnePercentByteFaults);

void BM_SyncFromMemory_RandomBytes(benchmark::State& state) {
  drainFromMemory(state, randomStream(37000));
}
BENCHMARK(BM_SyncFromMemory_RandomBytes);

// Through a pipe: each iteration writes a batch (not timed) and drains it with
// one readFrame(), as one reader cycle would; only the drain is timed.
void drainThroughPipe(benchmark::State& state, const std::vector<std::uint8_t>& batch) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    state.SkipWithError("pipe");
    return;
  }
  DrainingComm comm;
  comm.setPort(fds[0]);
  for (auto _ : state) {
    std::size_t done = 0;
    while (done < batch.size()) {
      const ssize_t n = ::write(fds[1], batch.data() + done, batch.size() - done);
      if (n <= 0)
        break;
      done += static_cast<std::size_t>(n);
    }
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(comm.readFrame());
    const auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(batch.size()));
  ::close(fds[0]);
  ::close(fds[1]);
}

// A 5 ms reader cycle at 46 KB/s finds about 6 frames: batches of 6, and of
// 1000 frames (a pipe holds 64 KiB).
void BM_SyncThroughPipe_ValidStream(benchmark::State& state) {
  drainThroughPipe(state, validStream(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_SyncThroughPipe_ValidStream)->Arg(6)->Arg(1000)->UseManualTime();

void BM_SyncThroughPipe_RandomBytes(benchmark::State& state) {
  drainThroughPipe(state, randomStream(37000));
}
BENCHMARK(BM_SyncThroughPipe_RandomBytes)->UseManualTime();

}  // namespace
