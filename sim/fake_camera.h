// The in-process fake camera: the camera model served from a thread on one
// end of a socketpair(AF_UNIX, SOCK_SEQPACKET), which keeps message
// boundaries so that exact-size reads behave as on the real device. Protocol
// and readout tests use it with no mount and no privileges.
//
// Each answer is sent as one packet the size the program reads it: the
// 92-byte reply, the 8-byte image header, one packet per row (faults make
// the packet shorter). A read gets one packet: a smaller buffer gets its
// first bytes, the rest is dropped, as on the device. Packets are sent ahead
// of the reads, so a read when nothing is pending blocks (the device would
// return 0 bytes). A write that the device would refuse is recorded and
// ignored here, since the write has already succeeded on the socket.
//
// Faults as the program sees them:
// - short pieces: a read returning fewer bytes;
// - failing reads: once the program has taken every packet sent before and
//   waits in its next read, the fake closes its end with unread data queued
//   (closing while the read is only starting could let it return 0), so it
//   returns -1 with errno ECONNRESET; later reads return 0 and writes fail
//   with EPIPE (raising SIGPIPE);
// - stalls: nothing more is sent, the read blocks until the fake is
//   destroyed (it then returns 0).
// A row larger than the socket's largest packet (about 2 MiB, or 416 KiB
// without CAP_NET_ADMIN) is delivered as a failing read.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/camera_model.h"

namespace ccdsim {

class FakeCamera {
 public:
  explicit FakeCamera(const ModelConfig& config = {});
  ~FakeCamera();  // stops the thread and closes both ends
  FakeCamera(const FakeCamera&) = delete;
  FakeCamera& operator=(const FakeCamera&) = delete;

  // The program's end of the socket pair: pass it to camera_query(). It stays
  // the fake's; if the program closes it, the destructor leaves it alone.
  int fd() const;
  // Every message the program wrote, one entry per write, in order.
  std::vector<std::vector<uint8_t>> messages() const;
  // The MSG_EXPOSE messages received, decoded, in order.
  std::vector<ExposeMessage> exposures() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ccdsim
