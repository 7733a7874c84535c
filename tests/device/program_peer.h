// Runs the helper program device_program_peer as the second host process
// (fork and exec) and talks to it line by line: commands go to its standard
// input, replies come from its standard output. Every wait for a reply is
// guarded, so a peer that hangs fails the test instead of blocking it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace vorel_device_test {

class ProgramPeer {
 public:
  // Starts the peer; started() tells whether it runs.
  explicit ProgramPeer(const char* path) {
    // A peer that died must fail the test through its replies, not end the
    // test process through SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
      return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls until exec.
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      char* argv[] = {const_cast<char*>(path), nullptr};
      ::execv(path, argv);
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_peer_ = in[1];
    from_peer_ = out[0];
    if (pid_ < 0) {
      ::close(to_peer_);
      ::close(from_peer_);
      to_peer_ = from_peer_ = -1;
    }
  }

  // Kills a peer that is still running and reaps it.
  ~ProgramPeer() {
    if (to_peer_ >= 0)
      ::close(to_peer_);
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    if (from_peer_ >= 0)
      ::close(from_peer_);
  }

  ProgramPeer(const ProgramPeer&) = delete;
  ProgramPeer& operator=(const ProgramPeer&) = delete;

  bool started() const { return pid_ > 0; }

  // Sends one command and returns its reply ("ok ...", "error ..."), or
  // "timeout" / "eof" when none comes. Console lines and other output seen on
  // the way are kept.
  std::string call(const std::string& command) {
    const std::string line = command + "\n";
    if (::write(to_peer_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      return "write failed";
    for (;;) {
      std::string reply;
      if (!readLine(reply))
        return reply;
      if (reply.rfind("ok", 0) == 0 || reply.rfind("error", 0) == 0)
        return reply;
      if (reply.rfind("console ", 0) == 0) {
        console_.push_back(reply.substr(8));
      } else {
        other_.push_back(reply);
      }
    }
  }

  // Waits for the peer to end; its exit status, or -1 (signal, time-out).
  int wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::usleep(1000);
    }
    return -1;
  }

  const std::vector<std::string>& consoleLines() const { return console_; }
  const std::vector<std::string>& otherLines() const { return other_; }

 private:
  // One line from the peer without its '\n'; false with "timeout" or "eof".
  bool readLine(std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const std::size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        line = "timeout";
        return false;
      }
      pollfd p{from_peer_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR)
        continue;
      if (ready <= 0)
        continue;  // the deadline decides
      char chunk[512];
      const ssize_t n = ::read(from_peer_, chunk, sizeof(chunk));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        line = "eof";
        return false;
      }
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int to_peer_ = -1;
  int from_peer_ = -1;
  std::string buffer_;
  std::vector<std::string> console_;
  std::vector<std::string> other_;
};

}  // namespace vorel_device_test
