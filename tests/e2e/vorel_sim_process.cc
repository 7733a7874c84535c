#include "tests/e2e/vorel_sim_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace vorel_e2e {

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd) {
  ProcessResult result;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    return result;
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (auto& a : args)
    raw.push_back(&a[0]);
  raw.push_back(nullptr);
  // The child starts in `cwd` through a tiny shell-free step: chdir in the
  // parent would race with other threads, so posix_spawn runs "/bin/sh -c
  // 'cd DIR && exec ...'" only for the directory change.
  std::vector<std::string> shell = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", cwd};
  shell.insert(shell.end(), args.begin(), args.end());
  std::vector<char*> shell_raw;
  for (auto& a : shell)
    shell_raw.push_back(&a[0]);
  shell_raw.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, shell_raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(out[0]);
    ::close(err[0]);
    return result;
  }
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_fds = 2;
  bool killed = false;
  while (open_fds > 0) {
    if (!killed && std::chrono::steady_clock::now() > guard) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
    if (::poll(fds, 2, 200) < 0)
      continue;
    for (auto& p : fds) {
      if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buf[4096];
      const ssize_t n = ::read(p.fd, buf, sizeof buf);
      if (n > 0) {
        (p.fd == out[0] ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
      } else {
        ::close(p.fd);
        p.fd = -1;
        --open_fds;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exit_status = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

ProcessResult runVorelSim(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv = {VOREL_SIM};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, cwd);
}

SummaryRow summaryRow(const std::string& out, const std::string& quantity) {
  SummaryRow row;
  std::istringstream in(out);
  std::string line;
  const std::string head = "  " + quantity + "  ";
  while (std::getline(in, line)) {
    if (line.rfind(head, 0) != 0)
      continue;
    // Cells are separated by two or more blanks.
    std::vector<std::string> cells;
    std::size_t pos = 2;
    while (pos < line.size()) {
      const auto gap = line.find("  ", pos);
      const std::string cell =
          line.substr(pos, gap == std::string::npos ? std::string::npos : gap - pos);
      if (!cell.empty())
        cells.push_back(cell);
      if (gap == std::string::npos)
        break;
      pos = line.find_first_not_of(' ', gap);
      if (pos == std::string::npos)
        break;
    }
    if (cells.size() < 3 || cells[0] != quantity)
      continue;
    row.found = true;
    row.value = cells[1];
    row.check = cells.back();
  }
  return row;
}

double firstNumber(const std::string& text) {
  const char* p = text.c_str();
  while (*p) {
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    if (end != p &&
        (std::isdigit(static_cast<unsigned char>(*p)) || *p == '-' || *p == '+' || *p == '.')) {
      return v;
    }
    ++p;
  }
  return NAN;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/vorel-e2e-XXXXXX";
  const char* made = ::mkdtemp(tmpl);
  path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
  if (DIR* dir = ::opendir(path_.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..")
        ::unlink((path_ + "/" + name).c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(path_.c_str());
}

void TempDir::write(const std::string& name, const std::string& text) const {
  std::ofstream(file(name)) << text;
}

bool fileExists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

}  // namespace vorel_e2e
