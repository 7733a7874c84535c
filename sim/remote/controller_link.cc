#include "sim/remote/controller_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorel_sim {
namespace controller_link {

namespace {

// Moves all `len` bytes with `io` (a send or a read of what is left),
// retrying after a signal; false when the peer is gone or the call fails.
template <typename Data, typename Io>
bool transferAll(Data* data, std::size_t len, Io io) {
  while (len > 0) {
    const ssize_t n = io(data, len);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool writeAll(int fd, const char* data, std::size_t len) {
  return transferAll(data, len,
                     [fd](const char* p, std::size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); });
}

bool readAll(int fd, char* data, std::size_t len) {
  return transferAll(data, len, [fd](char* p, std::size_t n) { return ::read(fd, p, n); });
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
}  // namespace vorel_sim
