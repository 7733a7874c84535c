#include "sim/sensor/fault_injector.h"

#include <limits>
#include <stdexcept>
#include <string>

namespace vorel_sim {

FaultInjector::FaultInjector(std::uint64_t seed) : rng_(seed) {}

double FaultInjector::checkedProbability(double p, const char* what) {
  if (!(p >= 0.0 && p <= 1.0)) {
    throw std::invalid_argument(std::string(what) + " must lie in [0, 1], got " +
                                std::to_string(p));
  }
  return p;
}

void FaultInjector::setCrcErrorProbability(double p) {
  crc_probability_ = checkedProbability(p, "CRC error probability");
}

void FaultInjector::setByteDropProbability(double p) {
  drop_probability_ = checkedProbability(p, "byte drop probability");
}

void FaultInjector::setByteInsertProbability(double p) {
  insert_probability_ = checkedProbability(p, "byte insert probability");
}

void FaultInjector::setStatusFault(std::uint16_t bits, double p) {
  status_probability_ = checkedProbability(p, "status frame probability");
  status_bits_ = bits;
}

void FaultInjector::clear() {
  status_probability_ = 0.0;
  nan_next_ = false;
  crc_next_ = 0;
  crc_probability_ = 0.0;
  drop_probability_ = 0.0;
  insert_probability_ = 0.0;
}

double FaultInjector::uniform() {
  return static_cast<double>(rng_() >> 11) * 0x1.0p-53;
}

bool FaultInjector::chance(double p) {
  if (p <= 0.0)
    return false;
  if (p >= 1.0)
    return true;
  return uniform() < p;
}

FaultInjector::Spoiled FaultInjector::spoil(vorel_device::Wrench& wrench, std::uint16_t& status) {
  Spoiled spoiled;
  if (status_bits_ != 0 && chance(status_probability_)) {
    status = static_cast<std::uint16_t>(status | status_bits_);
    for (int i = 0; i < 6; ++i)
      wrench[i] = kBadWrench;
    spoiled.status = true;
  }
  if (nan_next_) {
    wrench[2] = std::numeric_limits<double>::quiet_NaN();
    nan_next_ = false;
    spoiled.nan = true;
  }
  return spoiled;
}

FaultInjector::Tally FaultInjector::encode(const vorel_device::RxFrame& frame,
                                           std::vector<std::uint8_t>& out) {
  Tally tally;
  vorel_device::RxFrame sent = frame;
  if (crc_next_ > 0) {
    --crc_next_;
    tally.crc_corrupted = true;
  } else if (chance(crc_probability_)) {
    tally.crc_corrupted = true;
  }
  if (tally.crc_corrupted)
    sent.crc = static_cast<std::uint16_t>(~sent.crc);

  const std::uint8_t* bytes = sent.bytes();
  for (std::size_t i = 0; i < vorel_device::RxFrame::kSize; ++i) {
    if (chance(drop_probability_)) {
      ++tally.bytes_dropped;
    } else {
      out.push_back(bytes[i]);
    }
    if (chance(insert_probability_)) {
      out.push_back(static_cast<std::uint8_t>(rng_() & 0xFF));
      ++tally.bytes_inserted;
    }
  }
  return tally;
}

void FaultInjector::garbage(std::size_t count, std::vector<std::uint8_t>& out) {
  for (std::size_t i = 0; i < count; ++i)
    out.push_back(static_cast<std::uint8_t>(rng_() & 0xFF));
}

}  // namespace vorel_sim
