// The CSV trace: its columns and one row per record, read back from a file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "sim/observe/trace_writer.h"

namespace {

using vorel_sim_app::CycleRecord;
using vorel_sim_app::TraceWriter;

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  std::string cell;
  while (std::getline(in, cell, ','))
    out.push_back(cell);
  return out;
}

CycleRecord sampleRecord() {
  CycleRecord r;
  r.time_s = 1.234;
  for (int i = 0; i < 6; ++i) {
    r.raw[i] = i + 1;            // 1 .. 6
    r.tool[i] = -(i + 1) * 0.5;  // -0.5 .. -3
    r.filtered[i] = 1e-7 * (i + 1);
  }
  r.tcp[0] = 0.4;
  r.tcp[2] = -0.00123;
  return r;
}

TEST(TraceWriter_Header_NamesTwentyEightColumns, InWrenchOrder) {
  const auto columns = split(TraceWriter::header());
  ASSERT_EQ(columns.size(), 28u);
  EXPECT_EQ(columns[0], "time_s");
  EXPECT_EQ(columns[1], "raw_fx");
  EXPECT_EQ(columns[6], "raw_tz");
  EXPECT_EQ(columns[7], "tool_fx");
  EXPECT_EQ(columns[15], "filt_fz");
  EXPECT_EQ(columns[19], "offset_x");
  EXPECT_EQ(columns[24], "offset_yaw");
  EXPECT_EQ(columns[25], "tcp_x");
  EXPECT_EQ(columns[27], "tcp_z");
}

TEST(TraceWriter_Row_PrintsEveryValue, NanBeforeTheFirstOffset) {
  EXPECT_EQ(TraceWriter::row(sampleRecord()),
            "1.234,1,2,3,4,5,6,-0.5,-1,-1.5,-2,-2.5,-3,1e-07,2e-07,3e-07,4e-07,5e-07,6e-07,"
            "nan,nan,nan,nan,nan,nan,0.4,0,-0.00123");
}

TEST(TraceWriter_File_HoldsHeaderAndOneRowPerRecord, ReadBack) {
  char path[] = "/tmp/vorel-trace-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  {
    TraceWriter writer;
    writer.open(path);
    CycleRecord r = sampleRecord();
    for (int i = 0; i < 250; ++i) {
      r.time_s = 0.002 * (i + 1);
      r.offset[2] = -0.0001 * i;
      writer.write(r);
    }
    EXPECT_EQ(writer.rows(), 250u);
    EXPECT_TRUE(writer.close());
  }
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, TraceWriter::header());
  int rows = 0;
  while (std::getline(in, line)) {
    const auto cells = split(line);
    ASSERT_EQ(cells.size(), 28u);
    EXPECT_NEAR(std::stod(cells[0]), 0.002 * (rows + 1), 1e-9);
    EXPECT_NEAR(std::stod(cells[21]), -0.0001 * rows, 1e-12);
    ++rows;
  }
  EXPECT_EQ(rows, 250);
  ::unlink(path);
}

TEST(TraceWriter_UnwritablePath_Throws, NamingTheFile) {
  TraceWriter writer;
  try {
    writer.open("/nonexistent-dir/trace.csv");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("cannot write the trace /nonexistent-dir/trace.csv: ", 0),
              0u)
        << e.what();
  }
}

}  // namespace
