// Runs the helper program comm_segment_peer as a second process (fork and
// exec) and collects its standard output and how it ended.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace vorel_test {

struct PeerResult {
  bool started = false;
  bool exited = false;  // ended by exit, with `status`
  int status = -1;
  int signal = 0;  // ended by this signal, or 0
  std::vector<std::string> lines;
};

// Path of the helper, set by the build.
inline const char* peerPath() {
  return VOREL_COMM_SEGMENT_PEER;
}

// Runs `peer args...` to its end. Only async-signal-safe calls happen between
// fork and exec, so threads of the test process do not matter.
inline PeerResult runPeer(const std::vector<std::string>& args) {
  PeerResult result;
  std::vector<char*> argv;
  std::string path = peerPath();
  argv.push_back(&path[0]);
  std::vector<std::string> copies(args);
  for (std::string& a : copies)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0)
    return result;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(out[0]);
    ::close(out[1]);
    return result;
  }
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  result.started = true;
  ::close(out[1]);
  std::string text;
  char buf[512];
  for (;;) {
    const ssize_t n = ::read(out[0], buf, sizeof(buf));
    if (n > 0) {
      text.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    break;
  }
  ::close(out[0]);
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) {
    result.exited = true;
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    result.lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

}  // namespace vorel_test
