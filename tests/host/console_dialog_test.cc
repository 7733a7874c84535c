// Host console and operator dialogs, through their sinks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/console.h"
#include "host/input_dialog.h"

namespace {

using hx4_program_api::DialogParam;
using hx4_program_api::InputDialog;
using hx4_program_api_internals::Console;

TEST(Console, Write_SinkGetsEachTextWhole) {
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

TEST(InputDialog, FactoryThenShowOne_SinkGetsTitleAndMessage) {
  std::vector<std::string> shown;
  InputDialog::setSink([&shown](const std::string& title, const std::string& message) {
    shown.push_back(title + "|" + message);
  });
  const auto dialog = InputDialog::factory("Low-pass filter", "cut-off frequency out of range",
                                           {DialogParam{"cutoff", "300"}});
  EXPECT_EQ(dialog->title(), "Low-pass filter");
  EXPECT_EQ(dialog->message(), "cut-off frequency out of range");
  ASSERT_EQ(dialog->params().size(), 1u);
  EXPECT_EQ(dialog->params()[0].label, "cutoff");
  EXPECT_EQ(dialog->params()[0].value, "300");
  // Building a dialog shows nothing; show(1) does.
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(dialog->show(1), 1);
  InputDialog::setSink(nullptr);
  EXPECT_EQ(shown, (std::vector<std::string>{"Low-pass filter|cut-off frequency out of range"}));

  testing::internal::CaptureStderr();
  dialog->show(1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[DIALOG] Low-pass filter\ncut-off frequency out of range\n");
}

}  // namespace
