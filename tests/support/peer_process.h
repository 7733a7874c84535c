// The one way the tests run a second process: fork and exec of a built
// program with its standard input, output and error on pipes. A test either
// talks to it line by line (commands in, replies out) or runs it to its end.
// Every wait is guarded, so a peer that hangs fails the test instead of
// blocking it; a peer still running when the object goes is killed and reaped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vorel_test {

// How a peer ended: exited with `status`, or ended by `signal` (killed by the
// guard or crashed); neither when it never started or is still running.
struct PeerExit {
  bool exited = false;
  int status = -1;
  int signal = 0;
};

class PeerProcess {
 public:
  // Starts argv[0] with `argv` in directory `cwd` (empty: the test's own).
  explicit PeerProcess(const std::vector<std::string>& argv, const std::string& cwd = "");
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Sends one line to its standard input; false when it is gone.
  bool writeLine(const std::string& line);
  // Ends its standard input (it reads end of file).
  void closeInput();
  // Its next line of standard output without the '\n'; none at the end of its
  // output or when `guard` passes first.
  std::optional<std::string> readLine(
      std::chrono::milliseconds guard = std::chrono::milliseconds(10000));
  // Waits for its end, collecting the rest of both outputs; kills it when
  // `guard` passes first.
  PeerExit finish(std::chrono::milliseconds guard = std::chrono::milliseconds(120000));

  // Standard output not yet taken by readLine(), and all of standard error.
  const std::string& output() const { return out_; }
  const std::string& errors() const { return err_; }

 private:
  // Reads what is ready on both pipes within `timeout_ms`; false when both
  // are closed.
  bool pump(int timeout_ms);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  std::optional<PeerExit> exit_;
};

// A peer run to its end: how it ended and its outputs.
struct PeerRun {
  PeerExit exit;
  std::string out;
  std::string err;
  std::vector<std::string> lines() const;  // `out` split at line ends
};

PeerRun runPeer(const std::vector<std::string>& argv, const std::string& cwd = "",
                std::chrono::milliseconds guard = std::chrono::milliseconds(120000));

}  // namespace vorel_test
