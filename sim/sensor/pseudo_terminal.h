// PseudoTerminal: the emulator's end of a serial line. It opens a
// pseudo-terminal pair; the device opens the slave by its path exactly as a
// real serial port. All pseudo-terminal, termios, poll and eventfd calls of
// the simulator live in pseudo_terminal.cc.
//
// On creation the slave is put in raw mode (no echo, no line editing, no
// CR/LF translation in either direction: frame bytes such as 0x0D pass
// unchanged) and one slave descriptor stays open for the object's life, so
// that the master never sees EIO while the device has the port closed. Bytes
// the emulator writes while nobody reads wait in the slave's input queue.
//
// Writes never block: what does not fit into the pseudo-terminal's buffer is
// lost, as on a serial line whose receiver does not read.
//
// Hang-up closes the master: every open slave descriptor (the device's port
// included) is hung up at once (read returns 0 or fails with EIO, poll reports
// POLLHUP, write fails with EIO). The pair cannot come back: the slave path
// stays dead for this object, and the kernel may give the same number to a
// later pseudo-terminal.
//
// Thread use: `writeSome` from any thread, one thread at a time; `waitInput`
// from one reading thread, `interrupt` from any thread; `hangUp` only while
// no other thread uses the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorel_sim {

class PseudoTerminal {
 public:
  // Throws std::system_error when the pair cannot be created.
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Path of the slave, e.g. "/dev/pts/7".
  const std::string& slavePath() const { return slave_path_; }

  // One non-blocking write to the master; returns the bytes accepted (0 when
  // the buffer is full, on error, or after hang-up).
  std::size_t writeSome(const std::uint8_t* bytes, std::size_t len);

  // Outcome of `waitInput`.
  enum class Input { data, idle, interrupted, failed };
  // Waits up to `timeout_ms` (negative: without limit) for bytes from the
  // device and reads at most `len` of them into `buf` (`received` set).
  // Returns `interrupted` when `interrupt` was called (the request is
  // consumed) or a signal interrupted the wait or the read (EINTR: nothing
  // was read, call again), `idle` when the time ran out, `failed` on another
  // read or poll error, or after hang-up. A signal therefore never passes
  // for an idle line.
  Input waitInput(std::uint8_t* buf, std::size_t len, int timeout_ms, std::size_t& received);
  // Wakes the thread in `waitInput` (or makes its next call return at once).
  void interrupt();

  // Closes the master: see the header comment.
  void hangUp();
  bool hungUp() const { return master_fd_ < 0; }

 private:
  int master_fd_ = -1;
  int slave_fd_ = -1;
  int wake_fd_ = -1;
  std::string slave_path_;
};

}  // namespace vorel_sim
