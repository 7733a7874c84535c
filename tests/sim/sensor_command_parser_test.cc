#include "sim/sensor/sensor_command_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vorel_sim::SensorCommand;
using vorel_sim::SensorCommandParser;
using Kind = SensorCommand::Kind;

std::vector<SensorCommand> feedText(SensorCommandParser& parser, const std::string& text) {
  std::vector<SensorCommand> out;
  parser.feed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), out);
  return out;
}

std::vector<std::string> textsOf(const std::vector<SensorCommand>& commands) {
  std::vector<std::string> texts;
  for (const SensorCommand& c : commands)
    texts.push_back(c.text);
  return texts;
}

TEST(SensorCommandParser, BackToBackSequence_FourCommandsInOrder) {
  SensorCommandParser parser;
  const auto commands = feedText(parser, "Cf,86,0,0,1sR");
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0].kind, Kind::enter_config);
  EXPECT_EQ(commands[1].kind, Kind::set_filter);
  EXPECT_EQ(commands[2].kind, Kind::save);
  EXPECT_EQ(commands[3].kind, Kind::run);
  EXPECT_EQ(textsOf(commands), (std::vector<std::string>{"C", "f,86,0,0,1", "s", "R"}));
  EXPECT_EQ(commands[1].filter, (std::array<std::uint32_t, 4>{86, 0, 0, 1}));
  EXPECT_FALSE(parser.awaitingMore());
  EXPECT_EQ(parser.ignoredBytes(), 0u);
}

TEST(SensorCommandParser, FilterAtEndOfInput_CompletedOnlyByIdleFlush) {
  SensorCommandParser parser;
  EXPECT_TRUE(feedText(parser, "f,430,0,0,1").empty());
  EXPECT_TRUE(parser.awaitingMore());  // "1" could still become "10"
  std::vector<SensorCommand> out;
  parser.flush(out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].text, "f,430,0,0,1");
  EXPECT_EQ(out[0].filter, (std::array<std::uint32_t, 4>{430, 0, 0, 1}));
  EXPECT_FALSE(parser.awaitingMore());
}

TEST(SensorCommandParser, FilterSplitOverFeeds_ValuesJoinedAcrossReads) {
  SensorCommandParser parser;
  EXPECT_TRUE(feedText(parser, "f,1").empty());
  EXPECT_TRUE(feedText(parser, "72,0,").empty());
  const auto commands = feedText(parser, "0,12R");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].filter, (std::array<std::uint32_t, 4>{172, 0, 0, 12}));
  EXPECT_EQ(commands[0].text, "f,172,0,0,12");
  EXPECT_EQ(commands[1].kind, Kind::run);
}

TEST(SensorCommandParser, LargestUnsignedValue_Accepted) {
  SensorCommandParser parser;
  const auto commands = feedText(parser, "f,4294967295,0,0,1s");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].filter[0], 4294967295u);
}

TEST(SensorCommandParser, UnknownBytes_IgnoredAndCounted) {
  SensorCommandParser parser;
  const auto commands = feedText(parser, "x\r\nCc r?R");
  EXPECT_EQ(textsOf(commands), (std::vector<std::string>{"C", "R"}));
  EXPECT_EQ(parser.ignoredBytes(), 7u);  // x \r \n c ' ' r ?
}

TEST(SensorCommandParser, BrokenFilter_DroppedAndBreakingByteParsedAgain) {
  struct Case {
    std::string input;
    std::vector<std::string> commands;
    std::uint64_t ignored;
  };
  const std::vector<Case> cases = {
      {"f,86,0R", {"R"}, 6},                   // too few numbers, "R" still a command
      {"f86,0,0,1C", {"C"}, 9},                // no comma after f: "8","6",",".. ignored
      {"f,,0,0,1s", {"s"}, 8},                 // empty number
      {"f,86,-1,0,1s", {"s"}, 11},             // sign is not a digit
      {"f,4294967296,0,0,1R", {"R"}, 18},      // above 32 bits
      {"ff,1,2,3,4s", {"f,1,2,3,4", "s"}, 1},  // the second f starts over
  };
  for (const Case& c : cases) {
    SensorCommandParser parser;
    EXPECT_EQ(textsOf(feedText(parser, c.input)), c.commands) << c.input;
    EXPECT_EQ(parser.ignoredBytes(), c.ignored) << c.input;
    EXPECT_FALSE(parser.awaitingMore()) << c.input;
  }
}

TEST(SensorCommandParser, IncompleteFilterWhenIdle_Dropped) {
  SensorCommandParser parser;
  EXPECT_TRUE(feedText(parser, "f,86,0,").empty());
  std::vector<SensorCommand> out;
  parser.flush(out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(parser.ignoredBytes(), 7u);
  // The fragment does not combine with later bytes.
  EXPECT_TRUE(feedText(parser, "0,1").empty());
  EXPECT_FALSE(parser.awaitingMore());
}

TEST(SensorCommandParser, Reset_ForgetsOpenFilterWithoutCounting) {
  SensorCommandParser parser;
  feedText(parser, "zf,86");
  parser.reset();
  EXPECT_FALSE(parser.awaitingMore());
  EXPECT_EQ(parser.ignoredBytes(), 1u);
  EXPECT_EQ(textsOf(feedText(parser, "s")), (std::vector<std::string>{"s"}));
}

}  // namespace
