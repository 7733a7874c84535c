// libFuzzer target: the frame synchroniser of the sensor reader (the drain
// loop of VorelForceTorqueSensorComm::readFrame and its search for the next
// frame start) fed arbitrary byte streams, cut into reader cycles as a serial
// port would deliver them.
//
// Input: the byte stream, then 4 bytes (little-endian, taken from the end)
// that seed how it arrives: how many bytes each reader cycle finds newly
// pending (0 to 111), and, when bit 0 of the seed is set, reads that bring
// fewer bytes than asked or fail, as a serial port may.
//
// Invariants, checked after every cycle:
//   - the outcome is one of 0 to 3 and the synchroniser's state agrees with
//     it (1 and 2: synced; 3: not synced; 0: no attempt, state unchanged);
//   - outcome 1 (a valid frame) means that rx_frame holds 37 bytes exactly as
//     they stood in the stream at the offset of the last window checked, with
//     header 0xAA and a correct CRC-16/X-25 (computed here, independently of
//     the reader): a short read never mixes bytes of different places;
//   - a cycle leaves fewer than 37 bytes pending unless one of its reads
//     failed or came up short, never reads more than is pending, and holds
//     no more than the synchroniser's buffer;
//   - the counts of frames, wrong CRCs, losses and bytes passed over never
//     go down.
// Crashes, sanitizer reports and time-outs (a hang) fail the run as well.
//
// The reader's constructor creates the named shared segment; scripts/fuzz.sh
// runs the target with a private /dev/shm where it can.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "comm/sensor_reader.h"
#include "fuzz/fuzz_check.h"

namespace {

using vorel_device::FrameSynchroniser;
using vorel_device::RxFrame;
using vorel_device::VorelForceTorqueSensorComm;

// CRC-16/X-25, written out bit by bit: polynomial 0x1021 reflected (0x8408),
// initial value 0xFFFF, final XOR 0xFFFF.
std::uint16_t crcX25(const std::uint8_t* data, std::size_t len) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408u)
                       : static_cast<std::uint16_t>(crc >> 1);
  }
  return static_cast<std::uint16_t>(crc ^ 0xFFFFu);
}

// The reader with its stop flag cleared, so that its drain loop runs on the
// fuzzer's thread; the thread itself is never started.
class DrainingComm : public VorelForceTorqueSensorComm {
 public:
  DrainingComm() : VorelForceTorqueSensorComm(5) { stop_requested = false; }
};

// The stream as the port presents it: bytes arrive cycle by cycle; read()
// never returns more than has arrived and, when faults are on, sometimes
// returns fewer bytes than asked or fails.
class CycleSource {
 public:
  CycleSource(const std::vector<std::uint8_t>& stream, std::uint32_t seed)
      : stream_(stream), state_(seed | 1u), faulty_((seed & 1u) != 0) {}

  int available() const { return static_cast<int>(arrived_ - pos_); }

  ssize_t read(std::uint8_t* buf, std::size_t len) {
    std::size_t n = len < arrived_ - pos_ ? len : arrived_ - pos_;
    if (faulty_ && next() % 8 == 0) {
      faulted_ = true;
      if (next() % 2 == 0)
        return -1;
      n = n > 0 ? next() % n : 0;  // fewer than asked
    }
    if (n > 0)
      std::memcpy(buf, stream_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }

  // A new reader cycle: its bytes arrive. False when everything had arrived
  // already.
  bool arrive() {
    faulted_ = false;
    if (arrived_ == stream_.size())
      return false;
    const std::size_t chunk = next() % 112;
    arrived_ = chunk < stream_.size() - arrived_ ? arrived_ + chunk : stream_.size();
    return true;
  }

  std::size_t consumed() const { return pos_; }
  bool faulted() const { return faulted_; }

 private:
  std::uint32_t next() {
    // xorshift32: a fixed sequence per seed.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }

  const std::vector<std::uint8_t>& stream_;
  std::uint32_t state_;
  bool faulty_;
  bool faulted_ = false;
  std::size_t arrived_ = 0;
  std::size_t pos_ = 0;
};

DrainingComm& reader() {
  static DrainingComm comm;
  return comm;
}

// Brings the synchroniser to the same state before every input: three
// frames' worth of zero bytes (no header among them) complete whatever
// window the last input left open and are then passed over, so that it is
// out of sync with nothing held. Returns the bytes fed.
std::size_t resetSynchroniser(DrainingComm& comm) {
  static const std::uint8_t zeros[3 * RxFrame::kSize] = {};
  VorelForceTorqueSensorComm::MemorySource source{zeros, sizeof zeros};
  FUZZ_CHECK(comm.readFrameFrom(source) == VorelForceTorqueSensorComm::kOutOfSync);
  FUZZ_CHECK(source.available() == 0);
  FUZZ_CHECK(!comm.isSynced());
  FUZZ_CHECK(comm.frameSynchroniser().heldBytes() == 0);
  return sizeof zeros;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The reference CRC against the published check value.
  const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  FUZZ_CHECK(crcX25(check, sizeof check) == 0x906E);
  reader();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using Comm = VorelForceTorqueSensorComm;
  FuzzedDataProvider input(data, size);
  const std::uint32_t seed = input.ConsumeIntegral<std::uint32_t>();
  const std::vector<std::uint8_t> stream = input.ConsumeRemainingBytes<std::uint8_t>();

  static std::uint64_t fed = 0;  // bytes the reader has read since its construction
  DrainingComm& comm = reader();
  fed += resetSynchroniser(comm);
  const std::uint64_t stream_start = fed;
  CycleSource source(stream, seed);

  // Cycles until everything has arrived and a cycle without faults found
  // nothing more to do; the bound only guards the harness itself.
  const std::size_t max_cycles = 8 * stream.size() + 64;
  for (std::size_t cycle = 0; cycle < max_cycles; ++cycle) {
    const bool more = source.arrive();
    const int pending_before = source.available();
    const std::size_t consumed_before = source.consumed();
    const bool synced_before = comm.isSynced();
    const FrameSynchroniser::Counts counts_before = comm.frameSynchroniser().counts();

    const int result = comm.readFrameFrom(source);

    FUZZ_CHECK(result >= Comm::kNoAttempt && result <= Comm::kOutOfSync);
    FUZZ_CHECK(source.consumed() - consumed_before <= static_cast<std::size_t>(pending_before));
    FUZZ_CHECK(comm.frameSynchroniser().heldBytes() <= FrameSynchroniser::kCapacity);
    if (!source.faulted())
      FUZZ_CHECK(source.available() < static_cast<int>(RxFrame::kSize));
    const FrameSynchroniser::Counts& counts = comm.frameSynchroniser().counts();
    FUZZ_CHECK(counts.frames >= counts_before.frames &&
               counts.crc_errors >= counts_before.crc_errors &&
               counts.sync_losses >= counts_before.sync_losses &&
               counts.bytes_skipped >= counts_before.bytes_skipped);

    switch (result) {
      case Comm::kNoAttempt:
        FUZZ_CHECK(comm.isSynced() == synced_before);
        FUZZ_CHECK(counts.frames == counts_before.frames);
        break;
      case Comm::kFrameOk: {
        FUZZ_CHECK(comm.isSynced());
        const RxFrame& frame = comm.rxFrame();
        const std::uint64_t offset = comm.frameSynchroniser().lastWindowOffset();
        FUZZ_CHECK(offset >= stream_start &&
                   offset - stream_start + RxFrame::kSize <= stream.size());
        FUZZ_CHECK(std::memcmp(frame.bytes(), stream.data() + (offset - stream_start),
                               RxFrame::kSize) == 0);
        FUZZ_CHECK(frame.header == 0xAA);
        const std::uint16_t crc =
            static_cast<std::uint16_t>(frame.bytes()[35] | (frame.bytes()[36] << 8));
        FUZZ_CHECK(crcX25(frame.bytes() + 1, 34) == crc);
        break;
      }
      case Comm::kCrcError:
        FUZZ_CHECK(comm.isSynced());
        FUZZ_CHECK(comm.rxFrame().header == 0xAA);
        break;
      case Comm::kOutOfSync:
        FUZZ_CHECK(!comm.isSynced());
        break;
    }
    if (!more && !source.faulted() && source.consumed() == consumed_before)
      break;
  }
  fed += source.consumed();
  return 0;
}
