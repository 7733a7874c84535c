#include "tests/support/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace vorel_test {
namespace {

void closeFd(int& fd) {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

PeerExit exitOf(int wstatus) {
  PeerExit e;
  if (WIFEXITED(wstatus)) {
    e.exited = true;
    e.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    e.signal = WTERMSIG(wstatus);
  }
  return e;
}

}  // namespace

PeerProcess::PeerProcess(const std::vector<std::string>& argv, const std::string& cwd) {
  // A peer that died must fail the test through its replies, not end the test
  // process through SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv);
  std::vector<char*> raw;
  for (std::string& a : args)
    raw.push_back(&a[0]);
  raw.push_back(nullptr);
  int in[2], out[2], err[2];
  if (args.empty() || ::pipe2(in, O_CLOEXEC) != 0)
    return;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : {in[0], in[1], out[0], out[1]})
      ::close(fd);
    return;
  }
  const char* dir = cwd.empty() ? nullptr : cwd.c_str();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls until exec: the test's other threads do not
    // exist here. dup2 clears close-on-exec on the copies.
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    if (dir != nullptr && ::chdir(dir) != 0)
      ::_exit(126);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (pid_ < 0) {
    closeFd(in_);
    closeFd(out_fd_);
    closeFd(err_fd_);
  }
}

PeerProcess::~PeerProcess() {
  closeFd(in_);
  if (pid_ > 0 && !exit_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  closeFd(out_fd_);
  closeFd(err_fd_);
}

bool PeerProcess::writeLine(const std::string& line) {
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (in_ >= 0 && done < text.size()) {
    const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return in_ >= 0;
}

void PeerProcess::closeInput() {
  closeFd(in_);
}

bool PeerProcess::pump(int timeout_ms) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0)
    return false;
  if (::poll(fds, 2, timeout_ms) <= 0)
    return true;  // time-out or a signal: the caller's guard decides
  for (pollfd& p : fds) {
    if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR)))
      continue;
    char buf[4096];
    const ssize_t n = ::read(p.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    const bool is_out = p.fd == out_fd_;
    if (n > 0)
      (is_out ? out_ : err_).append(buf, static_cast<std::size_t>(n));
    else
      closeFd(is_out ? out_fd_ : err_fd_);
  }
  return true;
}

std::optional<std::string> PeerProcess::readLine(std::chrono::milliseconds guard) {
  const auto deadline = std::chrono::steady_clock::now() + guard;
  for (;;) {
    const std::size_t end = out_.find('\n');
    if (end != std::string::npos) {
      std::string line = out_.substr(0, end);
      out_.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out_fd_ < 0 || !pump(static_cast<int>(left.count())))
      return std::nullopt;
  }
}

PeerExit PeerProcess::finish(std::chrono::milliseconds guard) {
  if (exit_ || pid_ <= 0)
    return exit_.value_or(PeerExit{});
  closeFd(in_);
  const auto deadline = std::chrono::steady_clock::now() + guard;
  bool killed = false;
  while (pump(100)) {
    if (!killed && std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      killed = true;
    }
  }
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  exit_ = exitOf(status);
  return *exit_;
}

std::vector<std::string> PeerRun::lines() const {
  std::vector<std::string> result;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos)
      end = out.size();
    result.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

PeerRun runPeer(const std::vector<std::string>& argv, const std::string& cwd,
                std::chrono::milliseconds guard) {
  PeerProcess peer(argv, cwd);
  PeerRun run;
  run.exit = peer.finish(guard);
  run.out = peer.output();
  run.err = peer.errors();
  return run;
}

}  // namespace vorel_test
