// A test client for the helper's socket.
#include "support/wire_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tidewarden::testing {
namespace {

bool readable(int fd, std::chrono::milliseconds bound) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(bound.count())) == 1;
}

}  // namespace

WireClient::WireClient(const std::string& socketPath) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  if (!fd_ || ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
}

std::uint64_t WireClient::send(const std::string& selector, const std::string& argument) {
  const std::uint64_t id = nextId_++;
  sendRaw(wire::encodeCall({id, selector, argument}));
  return id;
}

void WireClient::sendRaw(const std::string& bytes) { (void)wire::writeFully(fd_.get(), bytes); }

std::optional<wire::ReplyFrame> WireClient::next(std::chrono::milliseconds bound) {
  if (!fd_ || !readable(fd_.get(), bound)) return std::nullopt;
  std::string body;
  if (wire::readFrame(fd_.get(), body) != wire::ReadStatus::frame) return std::nullopt;
  return wire::decodeReply(body);
}

std::optional<std::string> WireClient::call(const std::string& selector, const std::string& argument) {
  const auto id = send(selector, argument);
  auto reply = next();
  if (!reply || reply->callId != id) return std::nullopt;
  return reply->payload;
}

bool closesWithoutAByte(int fd, std::chrono::milliseconds bound) {
  if (!readable(fd, bound)) return false;
  char byte;
  const ssize_t got = ::read(fd, &byte, 1);
  return got == 0 || (got < 0 && errno == ECONNRESET);
}

bool WireClient::closedWithoutAByte(std::chrono::milliseconds bound) { return closesWithoutAByte(fd_.get(), bound); }

bool WireClient::peerClosed(std::chrono::milliseconds bound) {
  pollfd poller{fd_.get(), POLLRDHUP, 0};
  return ::poll(&poller, 1, static_cast<int>(bound.count())) == 1 && (poller.revents & (POLLRDHUP | POLLHUP)) != 0;
}

void WireClient::shutdownSending() { ::shutdown(fd_.get(), SHUT_WR); }

}  // namespace tidewarden::testing
