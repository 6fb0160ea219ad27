// The in-process fake camera: the camera model served from a thread on one
// end of a socketpair(AF_UNIX, SOCK_SEQPACKET), which keeps message
// boundaries so that exact-size reads behave as on the real device. Protocol
// and readout tests use it with no mount and no privileges.
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

  // The program's end of the socket pair: pass it to camera_query().
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
