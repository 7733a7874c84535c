// The serial line to the sensor: every termios, ioctl and read/write call of
// the library lives behind these functions (serial_port.cc).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorel_device {
namespace serial_port {

constexpr int kNoPort = -1;

// Opens `path` read-write (O_RDWR | O_NOCTTY | O_CLOEXEC: the port never becomes
// the host's controlling terminal, and children the host starts do not inherit
// it) and configures it: fresh all-zero attributes, CLOCAL | CREAD | CS8 (8N1,
// receiver on, modem lines ignored, no flow control), raw, VTIME 10 and VMIN 0
// (a read returns as soon as a byte is there, or empty after 1.0 s), 460800
// baud in both directions, applied with TCSANOW; then the driver's low-latency
// flag (results not examined: a driver without it is used as it is) and a
// read-back of the attributes. Failures are printed to standard output with
// errno and its text ("Error %i from opening device: %s", "Error %i from
// tcsetattr: %s", "Error %i from tcgetattr: %s"); the set-up goes on after each
// of them. Returns the descriptor, or -1 when the open failed.
//
// With `failure`: a port that cannot be opened, or whose attributes cannot
// be set (not a terminal), is no port: the descriptor is closed, -1 is
// returned and `failure` says why ("cannot be opened: No such file or
// directory (errno 2)"); otherwise `failure` is left empty.
int openAndConfigure(const std::string& path, std::string* failure = nullptr);

// Closes `fd` when it holds an open descriptor and sets it to -1; otherwise
// does nothing.
void close(int& fd);

// Bytes pending in the port's input queue (FIONREAD); 0 when the query fails.
int pending(int fd);

// Waits until at least `bytes` bytes are pending in the port's input queue,
// at most `bound_us` microseconds (CLOCK_MONOTONIC), and returns the bytes
// pending then (0 when the query fails). An empty queue is waited on with
// poll, which wakes at the first byte; while only part of the bytes is there,
// it sleeps for the line time of the rest (10 bits a byte at 460800 baud,
// 21.7 us) and looks again, and for one frame time (37 bytes, 803 us) when
// nothing came since the last look. A descriptor that reports an error or a
// hang-up, or none at all (-1), sleeps out the bound. Signals resume the
// wait. Reads nothing.
int waitPending(int fd, int bytes, long bound_us);

// One read of up to `len` bytes; returns what read returns (negative on error).
ssize_t read(int fd, std::uint8_t* buf, std::size_t len);

// One write of `len` bytes; returns what write returns.
ssize_t write(int fd, const char* text, std::size_t len);

}  // namespace serial_port
}  // namespace vorel_device
