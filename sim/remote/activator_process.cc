#include "sim/remote/activator_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "host/hx4_api.h"
#include "sim/host/device_config.h"
#include "sim/host/device_host.h"
#include "sim/host/output_monitor.h"
#include "sim/remote/remote_controller.h"

extern char** environ;

namespace vorel_sim {

namespace {

void socketPair(int fds[2]) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
  }
}

bool sendLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads up to the next newline into `buffer`'s front line; empty on end of
// stream or after `guard` (negative: no limit).
std::optional<std::string> receiveLine(int fd, std::string& buffer,
                                       std::chrono::milliseconds guard) {
  const auto deadline = std::chrono::steady_clock::now() + guard;
  for (;;) {
    const auto newline = buffer.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer.substr(0, newline);
      buffer.erase(0, newline + 1);
      return line;
    }
    int timeout_ms = -1;
    if (guard.count() >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return std::nullopt;
      timeout_ms = static_cast<int>(left.count());
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeout_ms);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return std::nullopt;
    char chunk[256];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return std::nullopt;
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace

ActivatorProcess::ActivatorProcess(
    const Launch& launch,
    boost::shared_ptr<hx4_program_api_internals::ControllerBackend> controller) {
  int control[2];
  int backend[2];
  socketPair(control);
  try {
    socketPair(backend);
  } catch (...) {
    ::close(control[0]);
    ::close(control[1]);
    throw;
  }
  // The child's ends are dup2'ed to descriptors 3 and 4 of the child, which
  // clears close-on-exec there; every other descriptor of this process stays
  // closed in the child.
  constexpr int kChildControl = 3;
  constexpr int kChildBackend = 4;
  char rate[64];
  std::snprintf(rate, sizeof rate, "%.17g", launch.rate_hz);
  std::vector<std::string> args = {launch.executable,
                                   "--role",
                                   "activator",
                                   "--config",
                                   launch.config_file,
                                   "--device-lib",
                                   launch.device_lib,
                                   "--port",
                                   launch.port,
                                   "--rate",
                                   rate,
                                   "--control-fd",
                                   std::to_string(kChildControl),
                                   "--backend-fd",
                                   std::to_string(kChildBackend)};
  if (launch.blackbox_dir) {
    args.push_back("--blackbox");
    args.push_back(*launch.blackbox_dir);
  }
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Through spare numbers first, so that an end that is already 3 or 4 is not
  // overwritten before it is moved.
  posix_spawn_file_actions_adddup2(&actions, control[1], 100);
  posix_spawn_file_actions_adddup2(&actions, backend[1], 101);
  posix_spawn_file_actions_adddup2(&actions, 100, kChildControl);
  posix_spawn_file_actions_adddup2(&actions, 101, kChildBackend);
  posix_spawn_file_actions_addclose(&actions, 100);
  posix_spawn_file_actions_addclose(&actions, 101);
  // The child keeps this thread's signal mask: Ctrl-C and SIGTERM stay blocked
  // there, and it ends when this process tells it to, or is gone.
  const int rc =
      ::posix_spawn(&pid_, launch.executable.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(control[1]);
  ::close(backend[1]);
  if (rc != 0) {
    ::close(control[0]);
    ::close(backend[0]);
    pid_ = -1;
    throw std::runtime_error("cannot start the activating process " + launch.executable + ": " +
                             std::strerror(rc));
  }
  control_fd_ = control[0];
  server_ = std::make_unique<ControllerServer>(std::move(controller), backend[0], launch.priority);
}

ActivatorProcess::~ActivatorProcess() {
  finish(std::chrono::milliseconds(5000));
}

std::optional<std::string> ActivatorProcess::readLine(std::chrono::milliseconds guard) {
  return receiveLine(control_fd_, buffer_, guard);
}

std::optional<std::string> ActivatorProcess::awaitActivation(std::chrono::milliseconds guard) {
  const auto line = readLine(guard);
  if (!line)
    return std::string("the activating process did not report its activation");
  if (*line == "activated")
    return std::nullopt;
  if (line->rfind("failed ", 0) == 0)
    return line->substr(7);
  return "unexpected report from the activating process: " + *line;
}

std::string ActivatorProcess::kill(bool& done) {
  done = pid_ > 0 && !finished_ && ::kill(pid_, SIGKILL) == 0;
  return done ? "process " + std::to_string(pid_) + " killed (SIGKILL)"
              : std::string("the activating process was gone");
}

int ActivatorProcess::finish(std::chrono::milliseconds guard) {
  if (finished_)
    return exit_status_;
  finished_ = true;
  if (pid_ > 0) {
    sendLine(control_fd_, "deactivate");
    readLine(guard);  // "done", or the end of the stream
    const auto deadline = std::chrono::steady_clock::now() + guard;
    int status = 0;
    for (;;) {
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      if (r < 0 && errno != EINTR)
        break;
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        exit_status_ = -1;
        break;
      }
      ::usleep(2000);
    }
  }
  if (server_)
    server_->stop();
  if (control_fd_ >= 0)
    ::close(control_fd_);
  control_fd_ = -1;
  return exit_status_;
}

int runActivator(const ActivatorRole& options) {
  using hx4_program_api_internals::Console;
  const int control_fd = options.control_fd;
  ::fcntl(control_fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(options.backend_fd, F_SETFD, FD_CLOEXEC);
  // Every line of this process, the plug-in's included, reaches the parent's
  // output as "[activator] <line>".
  auto print = [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  Console::setSink([](const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
  });
  OutputMonitor monitor(STDOUT_FILENO, OutputMonitor::devicePatterns(), nullptr, "[activator] ");
  monitor.start();

  auto remote = boost::make_shared<RemoteController>(options.backend_fd);
  hx4_program_api_internals::ControllerBackend::install(remote);
  int status = 0;
  {
    DeviceHost host([&](const std::string& line) { print(line); });
    std::string buffer;
    try {
      DeviceConfig config = DeviceConfig::load(options.config_file);
      if (options.port)
        config.setPort(*options.port);
      if (options.rate_hz)
        config.setRateHz(*options.rate_hz);
      if (options.blackbox_dir)
        config.setBlackBoxDirectory(*options.blackbox_dir);
      host.load(options.device_lib);
      host.create(boost::make_shared<hx4_program_api::ProgramInterface>(remote), config);
      host.onCreate();
      const auto failure = host.activateThroughHWReady(monitor, std::chrono::milliseconds(10000));
      sendLine(control_fd, failure ? "failed " + *failure : "activated");
      if (failure)
        status = 1;
      // Until the parent asks (or is gone).
      while (const auto line = receiveLine(control_fd, buffer, std::chrono::milliseconds(-1))) {
        if (*line == "deactivate")
          break;
      }
      host.onDeactivate();
      host.onDestroy();
      host.release();
    } catch (const std::exception& e) {
      print(std::string("error: ") + e.what());
      sendLine(control_fd, std::string("failed ") + e.what());
      status = 1;
    }
  }
  hx4_program_api_internals::ControllerBackend::install(nullptr);
  remote.reset();
  monitor.stop();
  Console::setSink(nullptr);
  sendLine(control_fd, "done");
  ::close(control_fd);
  return status;
}

}  // namespace vorel_sim
