#include "sim/observe/trace_writer.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vorel_sim {

namespace {

void appendValue(std::string& out, double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, ",%.6g", value);
  out += buf;
}

}  // namespace

TraceWriter::~TraceWriter() {
  close();
}

std::string TraceWriter::header() {
  std::string h = "time_s";
  const char* axes[] = {"fx", "fy", "fz", "tx", "ty", "tz"};
  for (const char* stage : {"raw", "tool", "filt"}) {
    for (const char* axis : axes)
      h += std::string(",") + stage + "_" + axis;
  }
  h += ",offset_x,offset_y,offset_z,offset_roll,offset_pitch,offset_yaw,tcp_x,tcp_y,tcp_z";
  return h;
}

std::string TraceWriter::row(const CycleRecord& r) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", r.time_s);
  std::string out = buf;
  for (const auto* w : {&r.raw, &r.tool, &r.filtered}) {
    for (int i = 0; i < 6; ++i)
      appendValue(out, (*w)[i]);
  }
  for (double v : r.offset)
    appendValue(out, v);
  for (double v : r.tcp)
    appendValue(out, v);
  return out;
}

void TraceWriter::open(const std::string& path) {
  close();
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) {
    throw std::runtime_error("cannot write the trace " + path + ": " + std::strerror(errno));
  }
  path_ = path;
  rows_ = 0;
  failed_ = false;
  std::fprintf(file_, "%s\n", header().c_str());
}

void TraceWriter::write(const CycleRecord& record) {
  if (!file_ || failed_)
    return;
  if (std::fprintf(file_, "%s\n", row(record).c_str()) < 0) {
    failed_ = true;
    std::printf("vorel-sim: writing the trace %s failed: %s\n", path_.c_str(),
                std::strerror(errno));
    return;
  }
  ++rows_;
}

bool TraceWriter::close() {
  if (!file_)
    return !failed_;
  if (std::fclose(file_) != 0 && !failed_) {
    failed_ = true;
    std::printf("vorel-sim: closing the trace %s failed: %s\n", path_.c_str(),
                std::strerror(errno));
  }
  file_ = nullptr;
  return !failed_;
}

}  // namespace vorel_sim
