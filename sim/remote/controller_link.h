// The wire format between a controller and a device in another process of
// the host (--processes 2): the ControllerBackend operations as
// request/response messages on a stream socket. Both ends are the same
// executable, so records travel as their bytes.
//
//   message   header {op, payload size} + payload
//   request   op            payload
//             Sync          uint8 wait_for_motion
//             RcState       -
//             Load          uint32 id
//             SetLoad       uint32 id, hx4rc_api::Load
//             Frame         int32 a, int32 b
//             Move          Motion::Target, Motion::Params
//             Submit        uint8 has_offset, hx4rc_api::Pose
//             Acquire       uint8 exclusive
//             Release       -
//             Status        -
//   response  same op       Sync/SetLoad/Acquire/Release: -; RcState: uint32;
//                           Load: hx4rc_api::Load; Frame: hx4rc_api::Frame;
//                           Move/Submit: int32; Status: uint8 offered,
//                           uint32 flags
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "host/controller_types.h"

namespace vorel_sim {
namespace controller_link {

enum class Op : std::uint32_t {
  Sync = 1,
  RcState,
  Load,
  SetLoad,
  Frame,
  Move,
  Submit,
  Acquire,
  Release,
  Status,
};

struct Header {
  Op op;
  std::uint32_t size;  // payload bytes
};

static_assert(std::is_trivially_copyable<hx4rc_api::Frame>::value, "sent as bytes");
static_assert(std::is_trivially_copyable<hx4rc_api::Load>::value, "sent as bytes");
static_assert(std::is_trivially_copyable<hx4rc_api::Pose>::value, "sent as bytes");
static_assert(std::is_trivially_copyable<hx4rc_api::Motion::Target>::value, "sent as bytes");
static_assert(std::is_trivially_copyable<hx4rc_api::Motion::Params>::value, "sent as bytes");

constexpr std::uint32_t kMaxPayload = 1024;

// Appends the bytes of a record.
template <class T>
void put(std::string& out, const T& value) {
  static_assert(std::is_trivially_copyable<T>::value, "sent as bytes");
  out.append(reinterpret_cast<const char*>(&value), sizeof(T));
}

// Reads a record at `pos` and advances; false when the payload is too short.
template <class T>
bool get(const std::string& in, std::size_t& pos, T& value) {
  static_assert(std::is_trivially_copyable<T>::value, "sent as bytes");
  if (in.size() < pos + sizeof(T))
    return false;
  std::memcpy(&value, in.data() + pos, sizeof(T));
  pos += sizeof(T);
  return true;
}

// Writes one message; false when the peer is gone.
bool writeMessage(int fd, Op op, const std::string& payload);
// Reads one message; false at the end of the stream, on an error or on a
// malformed header.
bool readMessage(int fd, Op& op, std::string& payload);

}  // namespace controller_link
}  // namespace vorel_sim
