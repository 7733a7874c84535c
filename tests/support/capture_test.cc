// Console and dialog captures: what they record, and that the default output
// comes back when they end.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "host/console.h"
#include "host/input_dialog.h"
#include "tests/support/console_capture.h"
#include "tests/support/dialog_capture.h"

namespace vorel_test {
namespace {

using hx4_program_api::InputDialog;
using hx4_program_api_internals::Console;

TEST(ConsoleCapture, Writes_RecordedVerbatimAndAsLines) {
  testing::internal::CaptureStdout();
  {
    ConsoleCapture capture;
    Console::write("[INFO] onActivate: assign port\n");
    Console::write("[ERROR] two\nlines\n");
    Console::write("unfinished");
    EXPECT_EQ(capture.writes(), (std::vector<std::string>{"[INFO] onActivate: assign port\n",
                                                          "[ERROR] two\nlines\n", "unfinished"}));
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"[INFO] onActivate: assign port",
                                                         "[ERROR] two", "lines", "unfinished"}));
    capture.clear();
    EXPECT_TRUE(capture.writes().empty());
  }
  // Nothing reached standard output while captured.
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ConsoleCapture, Destroyed_DefaultSinkPrintsToStdout) {
  { ConsoleCapture capture; }
  testing::internal::CaptureStdout();
  Console::write("[INFO] after\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] after\n");
}

TEST(ConsoleCapture, ConcurrentWriters_EveryWriteRecordedWhole) {
  ConsoleCapture capture;
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        Console::write("[INFO] writer " + std::to_string(t) + " line " + std::to_string(i) + "\n");
      }
    });
  }
  EXPECT_TRUE(capture.awaitWrites(800));
  for (auto& w : writers)
    w.join();
  const std::vector<std::string> writes = capture.writes();
  ASSERT_EQ(writes.size(), 800u);
  std::vector<int> next(4, 0);
  for (const std::string& w : writes) {
    const int t = w[14] - '0';
    ASSERT_GE(t, 0);
    ASSERT_LT(t, 4);
    // Each writer's lines arrive whole and in its order.
    EXPECT_EQ(w, "[INFO] writer " + std::to_string(t) + " line " + std::to_string(next[t]) + "\n");
    ++next[t];
  }
}

TEST(DialogCapture, Show_RecordsTitleAndMessage) {
  testing::internal::CaptureStderr();
  {
    DialogCapture capture;
    auto dialog = InputDialog::factory("Filter error", "cut-off frequency out of range", {});
    EXPECT_EQ(dialog->show(1), 1);
    ASSERT_EQ(capture.dialogs().size(), 1u);
    EXPECT_EQ(capture.dialogs()[0].title, "Filter error");
    EXPECT_EQ(capture.dialogs()[0].message, "cut-off frequency out of range");
    EXPECT_TRUE(capture.awaitDialogs(1));
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(DialogCapture, Destroyed_DefaultSinkPrintsToStderr) {
  { DialogCapture capture; }
  testing::internal::CaptureStderr();
  InputDialog::factory("Title", "Message", {})->show(1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[DIALOG] Title\nMessage\n");
}

TEST(DialogCapture, ShownFromOtherThread_AwaitSeesIt) {
  DialogCapture capture;
  std::thread shower([] { InputDialog::factory("T", "M", {})->show(1); });
  EXPECT_TRUE(capture.awaitDialogs(1));
  shower.join();
  EXPECT_EQ(capture.dialogs().size(), 1u);
}

}  // namespace
}  // namespace vorel_test
