#include "sim/sensor/sensor_command_parser.h"

#include <limits>

namespace vorel_sim {

namespace {

bool isDigit(std::uint8_t byte) {
  return byte >= '0' && byte <= '9';
}

SensorCommand simpleCommand(SensorCommand::Kind kind, char letter) {
  SensorCommand command;
  command.kind = kind;
  command.text = std::string(1, letter);
  return command;
}

}  // namespace

void SensorCommandParser::feed(const std::uint8_t* bytes, std::size_t len,
                               std::vector<SensorCommand>& out) {
  for (std::size_t i = 0; i < len; ++i)
    feed(bytes[i], out);
}

void SensorCommandParser::feed(std::uint8_t byte, std::vector<SensorCommand>& out) {
  switch (state_) {
    case State::expect_comma:
      if (byte == ',') {
        text_.push_back(',');
        state_ = State::expect_digit;
        return;
      }
      abandonFilter();
      break;  // the byte starts a new command
    case State::expect_digit:
      if (isDigit(byte)) {
        text_.push_back(static_cast<char>(byte));
        value_ = byte - '0';
        state_ = State::in_number;
        return;
      }
      abandonFilter();
      break;
    case State::in_number:
      if (isDigit(byte)) {
        value_ = value_ * 10 + (byte - '0');
        if (value_ > std::numeric_limits<std::uint32_t>::max()) {
          // Too large for the sensor's unsigned field: the command is dropped
          // with this digit, which cannot start a command.
          text_.push_back(static_cast<char>(byte));
          abandonFilter();
          return;
        }
        text_.push_back(static_cast<char>(byte));
        return;
      }
      values_[field_] = static_cast<std::uint32_t>(value_);
      if (field_ + 1 < values_.size()) {
        if (byte == ',') {
          text_.push_back(',');
          ++field_;
          state_ = State::expect_digit;
          return;
        }
        abandonFilter();
        break;
      }
      finishFilter(out);  // the byte after the fourth number
      break;
    case State::idle:
      break;
  }

  switch (byte) {
    case 'C':
      out.push_back(simpleCommand(SensorCommand::Kind::enter_config, 'C'));
      break;
    case 's':
      out.push_back(simpleCommand(SensorCommand::Kind::save, 's'));
      break;
    case 'R':
      out.push_back(simpleCommand(SensorCommand::Kind::run, 'R'));
      break;
    case 'f':
      state_ = State::expect_comma;
      field_ = 0;
      value_ = 0;
      values_ = {};
      text_ = "f";
      break;
    default:
      ++ignored_bytes_;
      break;
  }
}

void SensorCommandParser::flush(std::vector<SensorCommand>& out) {
  if (state_ == State::in_number && field_ + 1 == values_.size()) {
    values_[field_] = static_cast<std::uint32_t>(value_);
    finishFilter(out);
  } else if (state_ != State::idle) {
    abandonFilter();
  }
}

void SensorCommandParser::reset() {
  state_ = State::idle;
  text_.clear();
}

void SensorCommandParser::abandonFilter() {
  ignored_bytes_ += text_.size();
  text_.clear();
  state_ = State::idle;
}

void SensorCommandParser::finishFilter(std::vector<SensorCommand>& out) {
  SensorCommand command;
  command.kind = SensorCommand::Kind::set_filter;
  command.filter = values_;
  command.text = std::move(text_);
  out.push_back(std::move(command));
  text_.clear();
  state_ = State::idle;
}

}  // namespace vorel_sim
