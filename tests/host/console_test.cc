// The host console, through a sink and its default (standard output). The
// operator dialog's default output is checked by the filters' fatal-exit tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/console.h"

namespace {

using hx4_program_api_internals::Console;

TEST(Console, Write_SinkGetsEachTextWholeDefaultIsStandardOutput) {
  std::vector<std::string> texts;
  Console::setSink([&texts](const std::string& text) { texts.push_back(text); });
  Console::write("[INFO] device_path: /dev/ttyUSB0\n");
  Console::write("[ERROR] a\nb\n");
  Console::setSink(nullptr);
  EXPECT_EQ(texts,
            (std::vector<std::string>{"[INFO] device_path: /dev/ttyUSB0\n", "[ERROR] a\nb\n"}));
  testing::internal::CaptureStdout();
  Console::write("[INFO] 1st Frequency: 500\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] 1st Frequency: 500\n");
  EXPECT_EQ(texts.size(), 2u);
}

}  // namespace
