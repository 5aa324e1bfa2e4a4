// A peer that misbehaves on purpose, for tests that sign it as the genuine client:
//   tidewarden-test-peer flood SOCKET COUNT   sends COUNT calls across the fan, download
//       and utility queues and never reads; prints "sent N", then "closed" once the
//       helper has closed the connection.
//   tidewarden-test-peer halfclose SOCKET     sends one call to each of those queues,
//       closes its sending side and prints "replies N" for the replies it then reads.
//   tidewarden-test-peer hold SOCKET COUNT UID   runs as UID and keeps COUNT
//       connections waiting for admission, opening a new one whenever one is closed;
//       prints "holding" once the first COUNT are open, then runs until killed.
#include <poll.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "wire/wire_protocol.h"

namespace {

const std::vector<std::pair<std::string, std::string>> kCalls = {
    {"fanControl:withReply:",
     R"({"action":"inspect","mode":"system","targets":{},"thermalSource":"cpu","thresholdCelsius":0,)"
     R"("acknowledged":false})"},
    {"scanInterruptedInstallerDownloadsWithReply:", ""},
    {"preflightInstallerPreparation:withReply:", R"({"packageBytes":1,"packageAlreadyDownloaded":false})"},
};

// A connected socket, or -1.
int tryConnect(const char* path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

int connectTo(const char* path) {
  const int fd = tryConnect(path);
  if (fd < 0) std::exit(1);
  return fd;
}

bool sendCall(int fd, std::uint64_t id) {
  const auto& [selector, argument] = kCalls[id % kCalls.size()];
  return tidewarden::wire::writeFully(fd, tidewarden::wire::encodeCall({id, selector, argument}));
}

}  // namespace

[[noreturn]] void hold(const char* socket, long count, uid_t uid) {
  if (::setgid(uid) != 0 || ::setuid(uid) != 0) std::exit(1);
  std::vector<pollfd> connections;
  for (long index = 0; index < count; ++index) connections.push_back({tryConnect(socket), POLLRDHUP, 0});
  std::printf("holding\n");
  std::fflush(stdout);
  for (;;) {
    ::poll(connections.data(), connections.size(), 10);
    for (pollfd& connection : connections) {
      if (connection.fd >= 0 && connection.revents == 0) continue;
      if (connection.fd >= 0) ::close(connection.fd);
      connection = {tryConnect(socket), POLLRDHUP, 0};
    }
  }
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  if (mode == "hold" && argc == 5) hold(argv[2], std::atol(argv[3]), static_cast<uid_t>(std::atol(argv[4])));
  const int fd = connectTo(argv[2]);
  if (mode == "flood" && argc == 4) {
    const long count = std::atol(argv[3]);
    long sent = 0;
    while (sent < count && sendCall(fd, static_cast<std::uint64_t>(sent))) ++sent;
    std::printf("sent %ld\n", sent);
    std::fflush(stdout);
    pollfd poller{fd, POLLRDHUP, 0};
    if (::poll(&poller, 1, 60000) == 1) std::printf("closed\n");
    return 0;
  }
  if (mode == "halfclose") {
    for (std::uint64_t id = 0; id < kCalls.size(); ++id) sendCall(fd, id);
    ::shutdown(fd, SHUT_WR);
    int replies = 0;
    std::string body;
    while (tidewarden::wire::readFrame(fd, body) == tidewarden::wire::ReadStatus::frame) ++replies;
    std::printf("replies %d\n", replies);
    return 0;
  }
  return 2;
}
