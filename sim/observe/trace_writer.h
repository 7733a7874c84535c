// TraceWriter: the CSV trace of a run, one row per controller cycle.
//
// Columns (header line first):
//   time_s                                  controller time, s
//   raw_fx raw_fy raw_fz raw_tx raw_ty raw_tz
//                                           sensor values of the latest frame:
//                                           N, N m, sensor axes, no bias removed
//   tool_fx .. tool_tz                      gravity compensated, TCP axes, bias
//                                           removed (what readForce reports)
//   filt_fx .. filt_tz                      after the filter chain and the
//                                           system filter, TCP axes
//   offset_x offset_y offset_z              last reference offset sent to the
//   offset_roll offset_pitch offset_yaw     drive: m and rad, TCP axes; nan
//                                           before the first
//   tcp_x tcp_y tcp_z                       robot TCP in the world, m
//
// Threads: one writer thread (the recorder's) after open().
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/observe/cycle_record.h"

namespace vorel_sim {

class TraceWriter {
 public:
  TraceWriter() = default;
  ~TraceWriter();
  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;

  // Creates (or truncates) `path` and writes the header. Throws
  // std::runtime_error naming the file when it cannot.
  void open(const std::string& path);
  void write(const CycleRecord& record);
  // Flushes and closes; false when a write failed (the message was printed).
  bool close();

  const std::string& path() const { return path_; }
  std::uint64_t rows() const { return rows_; }

  static std::string header();
  static std::string row(const CycleRecord& record);

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
  std::uint64_t rows_ = 0;
  bool failed_ = false;
};

}  // namespace vorel_sim
