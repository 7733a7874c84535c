#include "sim/remote/controller_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorel_sim_app {
namespace controller_link {

namespace {

bool writeAll(int fd, const char* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool readAll(int fd, char* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::read(fd, data, len);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool writeMessage(int fd, Op op, const std::string& payload) {
  std::string message;
  put(message, Header{op, static_cast<std::uint32_t>(payload.size())});
  message += payload;
  return writeAll(fd, message.data(), message.size());
}

bool readMessage(int fd, Op& op, std::string& payload) {
  Header header{};
  if (!readAll(fd, reinterpret_cast<char*>(&header), sizeof header))
    return false;
  if (header.size > kMaxPayload)
    return false;
  payload.assign(header.size, '\0');
  if (header.size > 0 && !readAll(fd, &payload[0], header.size))
    return false;
  op = header.op;
  return true;
}

}  // namespace controller_link
}  // namespace vorel_sim_app
