// A test client for the helper's socket: raw frames, pipelined calls, bounded waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/unique_fd.h"
#include "wire/wire_protocol.h"

namespace tidewarden::testing {

// True when `fd` reaches its end within `bound` without a byte arriving. A socket
// closed with our call still unread in it may report a reset instead of the end of
// the stream; either way no byte came.
bool closesWithoutAByte(int fd, std::chrono::milliseconds bound = std::chrono::seconds(20));

class WireClient {
 public:
  // Connects; aborts the test program when the socket cannot be reached at all.
  explicit WireClient(const std::string& socketPath);

  // Sends one call and returns its id.
  std::uint64_t send(const std::string& selector, const std::string& argument = "");
  void sendRaw(const std::string& bytes);

  // The next reply, or nullopt when the connection closed (or nothing came within
  // the bound).
  std::optional<wire::ReplyFrame> next(std::chrono::milliseconds bound = std::chrono::seconds(20));

  // Sends and waits for the matching reply (no other calls outstanding).
  std::optional<std::string> call(const std::string& selector, const std::string& argument = "");

  // True when the helper closed the connection without sending a single byte.
  bool closedWithoutAByte(std::chrono::milliseconds bound = std::chrono::seconds(20));

  void close() { fd_.reset(); }
  // True when the helper closed the connection within `bound`; reads nothing.
  bool peerClosed(std::chrono::milliseconds bound);
  // Closes the sending side only; replies can still be read.
  void shutdownSending();

 private:
  platform::UniqueFd fd_;
  std::uint64_t nextId_ = 1;
};

}  // namespace tidewarden::testing
