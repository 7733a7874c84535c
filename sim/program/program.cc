#include "sim/program/program.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace vorel_sim {

namespace {

struct FilterTypeWord {
  const char* word;
  int type;
};
constexpr FilterTypeWord kFilterTypes[] = {
    {"lowpass", 1}, {"notch", 2}, {"ratelimiter", 3}, {"highpassratelimiter", 4}};

constexpr StageInfo kStages[] = {
    {"Raw", Stage::Raw, "readForceRaw", "readTorqueRaw"},
    {"SensorFrame", Stage::SensorFrame, "readForceSensorFrame", "readTorqueSensorFrame"},
    {"Tool", Stage::Tool, "readForce", "readTorque"},
    {"Filtered", Stage::Filtered, "readForceFiltered", "readTorqueFiltered"},
    {"Position", Stage::Position, nullptr, nullptr}};

// A token of a line: a word (names, numbers, true/false), a quoted string,
// or one of the punctuation characters ( ) [ ] ,
struct Token {
  enum Kind { Word, Quoted, Punct } kind;
  std::string text;
};

struct Failure {
  std::string message;
};

bool isPunct(char c) {
  return c == '(' || c == ')' || c == '[' || c == ']' || c == ',';
}

std::string trim(const std::string& s) {
  const auto begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos)
    return std::string();
  const auto end = s.find_last_not_of(" \t\r\n");
  return s.substr(begin, end - begin + 1);
}

// Splits `line` into tokens up to a '#' outside quotes; sets `code` to the
// part before the comment. Fails on an unterminated quote or a control
// character.
std::optional<Failure> tokenize(const std::string& line, std::vector<Token>& tokens,
                                std::string& code) {
  std::size_t i = 0;
  std::size_t code_end = line.size();
  while (i < line.size()) {
    const char c = line[i];
    if (c == '#') {
      code_end = i;
      break;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    if (isPunct(c)) {
      tokens.push_back({Token::Punct, std::string(1, c)});
      ++i;
      continue;
    }
    if (c == '"') {
      const auto close = line.find('"', i + 1);
      if (close == std::string::npos)
        return Failure{"expected a closing '\"' for the name"};
      tokens.push_back({Token::Quoted, line.substr(i + 1, close - i - 1)});
      i = close + 1;
      continue;
    }
    if (static_cast<unsigned char>(c) < 0x20) {
      return Failure{"unexpected control character"};
    }
    std::size_t j = i;
    while (j < line.size() && !isPunct(line[j]) && line[j] != ' ' && line[j] != '\t' &&
           line[j] != '\r' && line[j] != '\n' && line[j] != '#' && line[j] != '"') {
      ++j;
    }
    tokens.push_back({Token::Word, line.substr(i, j - i)});
    i = j;
  }
  code = trim(line.substr(0, code_end));
  return std::nullopt;
}

std::string quoted(const Token& token) {
  if (token.kind == Token::Quoted)
    return "\"" + token.text + "\"";
  return "'" + token.text + "'";
}

std::string describe(const std::vector<Token>& tokens, std::size_t pos) {
  if (pos >= tokens.size())
    return "the end of the line";
  return quoted(tokens[pos]);
}

// A finite number, or empty.
std::optional<double> toNumber(const std::string& text) {
  if (text.empty())
    return std::nullopt;
  // Only plain decimal notation: no hexadecimal, no "nan" or "inf" words.
  for (char c : text) {
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.' ||
          c == 'e' || c == 'E')) {
      return std::nullopt;
    }
  }
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size())
    return std::nullopt;
  if (!std::isfinite(value) || errno == ERANGE)
    return std::nullopt;
  return value;
}

std::optional<int> toInteger(const std::string& text) {
  std::size_t i = 0;
  if (!text.empty() && (text[0] == '-' || text[0] == '+'))
    i = 1;
  if (i == text.size())
    return std::nullopt;
  for (std::size_t k = i; k < text.size(); ++k) {
    if (!std::isdigit(static_cast<unsigned char>(text[k])))
      return std::nullopt;
  }
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value < -2147483647L || value > 2147483647L)
    return std::nullopt;
  return static_cast<int>(value);
}

bool isName(const std::string& text) {
  if (text.empty())
    return false;
  if (!(std::isalpha(static_cast<unsigned char>(text[0])) || text[0] == '_'))
    return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
  });
}

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j)
    row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "; did you mean X?" for the closest known word, when it is close.
std::string suggestion(const std::string& word) {
  std::vector<std::string> known;
  for (const auto& statement : statementTable())
    known.push_back(statement.name);
  for (const auto& info : functionTable())
    known.push_back(info.name);
  std::string best;
  std::size_t best_distance = 4;
  for (const auto& candidate : known) {
    const std::size_t d = editDistance(word, candidate);
    if (d < best_distance) {
      best_distance = d;
      best = candidate;
    }
  }
  return best.empty() ? std::string() : "; did you mean " + best + "?";
}

std::string signature(const FunctionInfo& info) {
  std::string out;
  for (const auto& arg : info.args) {
    if (!out.empty())
      out += ", ";
    out += arg.name;
    if (arg.kind == ArgKind::Vector3)
      out += " (3 numbers)";
  }
  return out;
}

// Reads the arguments of a statement from tokens[pos..]: an optional
// parenthesised list, items separated by blanks or commas. Fills `items`
// with the positions of the value tokens and the bracket marks.
class ArgReader {
 public:
  ArgReader(const std::vector<Token>& tokens, std::size_t pos) : tokens_(tokens), pos_(pos) {}

  // Strips the optional parentheses; fails when they do not close the line.
  std::optional<Failure> open(const std::string& what) {
    if (pos_ < tokens_.size() && isPunctTok(pos_, '(')) {
      if (!isPunctTok(tokens_.size() - 1, ')') || tokens_.size() - 1 == pos_) {
        return Failure{"expected ')' at the end of the line to close the arguments of " + what};
      }
      end_ = tokens_.size() - 1;
      ++pos_;
    } else {
      end_ = tokens_.size();
    }
    for (std::size_t k = pos_; k < end_; ++k) {
      if (isPunctTok(k, '(') || isPunctTok(k, ')')) {
        return Failure{"unexpected " + quoted(tokens_[k]) + " in the arguments of " + what};
      }
    }
    return std::nullopt;
  }

  // Skips one separating comma, if any.
  void skipComma() {
    if (pos_ < end_ && isPunctTok(pos_, ','))
      ++pos_;
  }
  bool atEnd() {
    skipComma();
    return pos_ >= end_;
  }
  bool takePunct(char c) {
    if (pos_ < end_ && isPunctTok(pos_, c)) {
      ++pos_;
      return true;
    }
    return false;
  }
  // The next value token (word or quoted), or nullptr at a punctuation or
  // at the end.
  const Token* next() {
    skipComma();
    if (pos_ >= end_ || tokens_[pos_].kind == Token::Punct)
      return nullptr;
    return &tokens_[pos_++];
  }
  std::string describeNext() {
    skipComma();
    return describe(tokens_, pos_ < end_ ? pos_ : tokens_.size());
  }
  std::size_t remaining() const {
    std::size_t n = 0;
    for (std::size_t k = pos_; k < end_; ++k) {
      if (tokens_[k].kind != Token::Punct)
        ++n;
    }
    return n;
  }

 private:
  bool isPunctTok(std::size_t k, char c) const {
    return tokens_[k].kind == Token::Punct && tokens_[k].text[0] == c;
  }

  const std::vector<Token>& tokens_;
  std::size_t pos_;
  std::size_t end_ = 0;
};

std::string argLabel(const FunctionInfo& info, std::size_t index) {
  std::ostringstream out;
  out << "argument " << index + 1 << " of " << info.name << " (" << info.args[index].name << ")";
  return out.str();
}

std::optional<Failure> readArg(ArgReader& reader, const FunctionInfo& info, std::size_t index,
                               Value& value) {
  const Param& scenario = info.args[index];
  const std::string label = argLabel(info, index);
  switch (scenario.kind) {
    case ArgKind::Vector3: {
      reader.skipComma();
      const bool bracket = reader.takePunct('[');
      double xyz[3];
      for (int k = 0; k < 3; ++k) {
        const Token* token = reader.next();
        const std::optional<double> number =
            token && token->kind == Token::Word ? toNumber(token->text) : std::nullopt;
        if (!number) {
          std::ostringstream msg;
          msg << "expected 3 finite numbers for " << label << ", found "
              << (token ? quoted(*token) : reader.describeNext()) << " as number " << k + 1;
          return Failure{msg.str()};
        }
        xyz[k] = *number;
      }
      if (bracket && !reader.takePunct(']')) {
        return Failure{"expected ']' after the 3 numbers of " + label + ", found " +
                       reader.describeNext()};
      }
      value = Vector3{xyz[0], xyz[1], xyz[2]};
      return std::nullopt;
    }
    case ArgKind::Integer:
    case ArgKind::Number:
    case ArgKind::Boolean:
    case ArgKind::Name:
    case ArgKind::FilterType:
      break;
  }
  const Token* token = reader.next();
  const std::string found = token ? quoted(*token) : reader.describeNext();
  switch (scenario.kind) {
    case ArgKind::Integer: {
      const auto n = token && token->kind == Token::Word ? toInteger(token->text) : std::nullopt;
      if (!n)
        return Failure{"expected an integer for " + label + ", found " + found};
      value = *n;
      return std::nullopt;
    }
    case ArgKind::Number: {
      const auto x = token && token->kind == Token::Word ? toNumber(token->text) : std::nullopt;
      if (!x)
        return Failure{"expected a finite number for " + label + ", found " + found};
      value = *x;
      return std::nullopt;
    }
    case ArgKind::Boolean: {
      if (token && token->kind == Token::Word &&
          (token->text == "true" || token->text == "false")) {
        value = token->text == "true";
        return std::nullopt;
      }
      return Failure{"expected true or false for " + label + ", found " + found};
    }
    case ArgKind::Name: {
      if (token && token->kind == Token::Quoted && !token->text.empty()) {
        value = token->text;
        return std::nullopt;
      }
      if (token && token->kind == Token::Word && isName(token->text)) {
        value = token->text;
        return std::nullopt;
      }
      return Failure{"expected a filter name (a word or a quoted text) for " + label + ", found " +
                     found};
    }
    case ArgKind::FilterType: {
      if (token && token->kind == Token::Word) {
        if (const auto n = toInteger(token->text)) {
          value = *n;
          return std::nullopt;
        }
        for (const auto& type : kFilterTypes) {
          if (token->text == type.word) {
            value = type.type;
            return std::nullopt;
          }
        }
      }
      return Failure{
          "expected a filter type (1 to 4, or lowpass, notch, ratelimiter, "
          "highpassratelimiter) for " +
          label + ", found " + found};
    }
    case ArgKind::Vector3:
      break;
  }
  return Failure{"internal: unknown argument kind"};
}

std::optional<Failure> parseCall(const std::vector<Token>& tokens, const FunctionInfo& info,
                                 Call& call) {
  ArgReader reader(tokens, 1);
  if (auto failure = reader.open(info.name))
    return failure;
  call.function = &info;
  if (info.args.empty() && reader.remaining() > 0) {
    const bool readout = info.name[0] == 'r' && info.name[1] == 'e' && info.name[2] == 'a';
    return Failure{std::string(info.name) + " takes no arguments" +
                   (readout ? " (it prints the values it reads)" : "") + ", found " +
                   reader.describeNext()};
  }
  for (std::size_t i = 0; i < info.args.size(); ++i) {
    Value value;
    if (auto failure = readArg(reader, info, i, value)) {
      return Failure{failure->message + "; " + info.name + " takes: " + signature(info)};
    }
    call.args.push_back(value);
  }
  if (!reader.atEnd()) {
    return Failure{"expected the end of the line after the arguments of " + std::string(info.name) +
                   " (" + signature(info) + "), found " + reader.describeNext()};
  }
  return std::nullopt;
}

std::optional<Failure> parseSingle(const std::vector<Token>& tokens, const std::string& keyword,
                                   std::string& word) {
  ArgReader reader(tokens, 1);
  if (auto failure = reader.open(keyword))
    return failure;
  const Token* token = reader.next();
  if (!token || token->kind != Token::Word) {
    word.clear();
    return Failure{reader.describeNext()};
  }
  word = token->text;
  if (!reader.atEnd())
    return Failure{"extra " + reader.describeNext()};
  return std::nullopt;
}

// The numbers after a statement's word, one per name (the last 0 or more
// when `last_not_negative`), into `out`, then the end of the line. `usage`
// names the statement's form, `count` says how many numbers it takes.
template <std::size_t n>
std::optional<Failure> readNumbers(const std::vector<Token>& tokens, const char* const (&names)[n],
                                   const std::string& usage, const char* count,
                                   bool last_not_negative, double* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const Token* token = i + 1 < tokens.size() ? &tokens[i + 1] : nullptr;
    const auto value = token && token->kind == Token::Word ? toNumber(token->text) : std::nullopt;
    const bool not_negative = last_not_negative && i == n - 1;
    if (!value || (not_negative && *value < 0.0)) {
      return Failure{std::string("expected a finite number") +
                     (not_negative ? ", 0 or more," : "") + " for " + names[i] + " of " + usage +
                     ", found " + (token ? quoted(*token) : std::string("the end of the line"))};
    }
    out[i] = *value;
  }
  if (tokens.size() > n + 1) {
    return Failure{"expected the end of the line after " + usage.substr(0, usage.find(' ')) +
                   "'s " + count + " numbers, found " + describe(tokens, n + 1)};
  }
  return std::nullopt;
}

}  // namespace

bool Call::calls(const char* name) const {
  const FunctionInfo* named = functionByName(name);
  if (!named)
    throw std::logic_error(std::string("no robot-program function ") + name);
  return function == named;
}

const StageInfo& stageInfo(Stage stage) {
  return kStages[static_cast<std::size_t>(stage)];
}

const char* stageName(Stage stage) {
  return stageInfo(stage).word;
}

LineResult parseLine(const std::string& line, int line_number) {
  LineResult result;
  std::vector<Token> tokens;
  std::string code;
  auto fail = [&](const std::string& message) {
    result.error = ParseError{line_number, message};
    return result;
  };
  if (auto failure = tokenize(line, tokens, code))
    return fail(failure->message);
  if (tokens.empty())
    return result;

  const Token& head = tokens[0];
  if (head.kind != Token::Word || !isName(head.text)) {
    return fail("expected a function name, wait or print at the start of the line, found " +
                quoted(head));
  }
  Statement statement;
  statement.line = line_number;
  statement.text = code;

  if (head.text == "wait") {
    std::string word;
    auto failure = parseSingle(tokens, "wait", word);
    const auto seconds = failure ? std::nullopt : toNumber(word);
    if (failure && failure->message.rfind("extra ", 0) == 0) {
      return fail("expected the end of the line after wait SECONDS, found " +
                  failure->message.substr(6));
    }
    if (!seconds || *seconds < 0.0) {
      return fail("expected a duration in seconds (a finite number, 0 or more) after wait, found " +
                  (failure ? failure->message : "'" + word + "'"));
    }
    statement.action = Wait{*seconds};
    result.statement = statement;
    return result;
  }
  if (head.text == "moveTo") {
    static const char* const kNames[] = {"x", "y", "z", "roll", "pitch", "yaw"};
    MoveTo move;
    if (auto failure = readNumbers(tokens, kNames, "moveTo x y z roll pitch yaw (m, rad)", "six",
                                   false, move.pose))
      return fail(failure->message);
    statement.action = move;
    result.statement = statement;
    return result;
  }
  if (head.text == "push") {
    static const char* const kNames[] = {"FX", "FY", "FZ", "SECONDS"};
    double numbers[4];
    if (auto failure = readNumbers(tokens, kNames, "push FX FY FZ SECONDS (N, world axes; s)",
                                   "four", true, numbers))
      return fail(failure->message);
    statement.action = Push{{numbers[0], numbers[1], numbers[2]}, numbers[3]};
    result.statement = statement;
    return result;
  }
  if (head.text == "hostDeactivate") {
    if (tokens.size() > 1)
      return fail("hostDeactivate takes no arguments, found " + describe(tokens, 1));
    statement.action = HostDeactivate{};
    result.statement = statement;
    return result;
  }
  if (head.text == "print") {
    std::string word;
    auto failure = parseSingle(tokens, "print", word);
    if (failure && failure->message.rfind("extra ", 0) == 0) {
      return fail("expected the end of the line after print STAGE, found " +
                  failure->message.substr(6));
    }
    for (const auto& stage : kStages) {
      if (!failure && word == stage.word) {
        statement.action = Print{stage.stage};
        result.statement = statement;
        return result;
      }
    }
    return fail(
        "expected a stage after print (Raw, SensorFrame, Tool, Filtered or Position), found " +
        (failure ? failure->message : "'" + word + "'"));
  }
  const FunctionInfo* function = functionByName(head.text);
  if (!function) {
    return fail("expected a robot-program function, wait or print, found unknown name " +
                quoted(head) + suggestion(head.text));
  }
  Call call{function, {}};
  if (auto failure = parseCall(tokens, *function, call)) {
    return fail(failure->message);
  }
  statement.action = call;
  result.statement = statement;
  return result;
}

ParseResult parseProgram(const std::string& text) {
  ParseResult result;
  Program program;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    LineResult parsed = parseLine(line, number);
    if (parsed.error) {
      result.error = parsed.error;
      return result;
    }
    if (parsed.statement)
      program.statements.push_back(std::move(*parsed.statement));
  }
  result.program = std::move(program);
  return result;
}

std::string formatCall(const Call& call) {
  std::ostringstream out;
  out << call.function->name << "(";
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    if (i > 0)
      out << ", ";
    const Value& v = call.args[i];
    if (const auto* d = std::get_if<double>(&v)) {
      out << *d;
    } else if (const auto* n = std::get_if<int>(&v)) {
      out << *n;
    } else if (const auto* b = std::get_if<bool>(&v)) {
      out << (*b ? "true" : "false");
    } else if (const auto* s = std::get_if<std::string>(&v)) {
      out << s->c_str();
    } else if (const auto* xyz = std::get_if<Vector3>(&v)) {
      out << "[" << xyz->x << ", " << xyz->y << ", " << xyz->z << "]";
    }
  }
  out << ")";
  return out.str();
}

}  // namespace vorel_sim
