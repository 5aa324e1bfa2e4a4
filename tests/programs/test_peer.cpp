// A peer that misbehaves on purpose, for tests that sign it as the genuine client:
//   tidewarden-test-peer flood SOCKET COUNT   sends COUNT calls across the fan, download
//       and utility queues and never reads; prints "sent N", then "closed" once the
//       helper has closed the connection.
//   tidewarden-test-peer fanflood SOCKET COUNT UID   runs as UID, pings once and prints
//       "admitted" when answered, then sends COUNT fan inspect calls and never reads.
//   tidewarden-test-peer hold SOCKET COUNT UID   runs as UID and keeps COUNT
//       connections waiting for admission, opening a new one whenever one is closed;
//       prints "holding" once the first COUNT are open, then runs until killed.
//   tidewarden-test-peer call SOCKET UID SELECTOR ARGUMENT [unshare]   runs as UID, makes
//       one call and prints "reply PAYLOAD" or "closed"; with `unshare`, then moves into a
//       user namespace of its own and makes the call again on the same connection.
//   tidewarden-test-peer timedcall SOCKET SELECTOR ARGUMENT   pings once and prints "admitted"
//       when answered, then waits for SIGUSR1, makes one call and prints "reply-ms N reply
//       PAYLOAD" (N: the round trip of that call alone, in milliseconds) or "closed".
//   tidewarden-test-peer nsride SOCKET UID SELECTOR   runs as UID inside user and PID
//       namespaces of its own (as `unshare -Urpf` does); there a child connects and
//       waits, and this process sends a call on the child's socket with credentials that
//       name the child. Prints "reply PAYLOAD" or "closed".
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
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

bool connectSocket(int fd, const char* path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// A connected socket, or -1.
int tryConnect(const char* path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connectSocket(fd, path)) return fd;
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

// The reply to one call: "reply PAYLOAD", or "closed" when the connection closed first.
std::string awaitReply(int fd) {
  std::string body;
  if (tidewarden::wire::readFrame(fd, body) != tidewarden::wire::ReadStatus::frame) return "closed";
  const auto reply = tidewarden::wire::decodeReply(body);
  return reply ? "reply " + reply->payload : "closed";
}

// Connects, pings once and prints "admitted" when answered; exits when not admitted.
int connectAdmitted(const char* socket) {
  const int fd = connectTo(socket);
  if (!tidewarden::wire::writeFully(fd, tidewarden::wire::encodeCall({0, "pingWithReply:", ""})) ||
      awaitReply(fd) == "closed") {
    std::exit(1);
  }
  std::printf("admitted\n");
  std::fflush(stdout);
  return fd;
}

// Becomes user `uid`, as an ordinary process of that user (dumpable again, so that its
// own /proc files belong to it).
void dropTo(uid_t uid) {
  if (::setgid(uid) != 0 || ::setuid(uid) != 0 || ::prctl(PR_SET_DUMPABLE, 1) != 0) std::exit(1);
}

void writeFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::exit(1);
  ::close(fd);
}

// Sends `bytes` in one message whose credentials name process `pid` (and root, which
// the namespace maps to the outside user).
bool sendAs(int fd, pid_t pid, const std::string& bytes) {
  iovec io{const_cast<char*>(bytes.data()), bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_CREDENTIALS;
  header->cmsg_len = CMSG_LEN(sizeof(ucred));
  const ucred credentials{pid, 0, 0};
  std::memcpy(CMSG_DATA(header), &credentials, sizeof credentials);
  return ::sendmsg(fd, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

int call(const char* socket, uid_t uid, const std::string& selector, const std::string& argument, bool thenUnshare) {
  dropTo(uid);
  const int fd = connectTo(socket);
  const std::string frame = tidewarden::wire::encodeCall({1, selector, argument});
  const auto callOnce = [&] {
    std::printf("%s\n", tidewarden::wire::writeFully(fd, frame) ? awaitReply(fd).c_str() : "closed");
  };
  callOnce();
  if (thenUnshare) {
    if (::unshare(CLONE_NEWUSER) != 0) return 1;
    callOnce();
  }
  return 0;
}

int timedCall(const char* socket, const std::string& selector, const std::string& argument) {
  sigset_t go;
  sigemptyset(&go);
  sigaddset(&go, SIGUSR1);
  if (::sigprocmask(SIG_BLOCK, &go, nullptr) != 0) return 1;
  const int fd = connectAdmitted(socket);
  int signal = 0;
  if (::sigwait(&go, &signal) != 0) return 1;
  const auto asked = std::chrono::steady_clock::now();
  const std::string reply =
      tidewarden::wire::writeFully(fd, tidewarden::wire::encodeCall({1, selector, argument})) ? awaitReply(fd) : "closed";
  const bool answered = reply != "closed";
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
  if (answered) {
    std::printf("reply-ms %lld %s\n", static_cast<long long>(elapsed.count()), reply.c_str());
  } else {
    std::printf("closed\n");
  }
  return 0;
}

int nsride(const char* socket, uid_t uid, const std::string& selector) {
  dropTo(uid);
  if (::unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) return 1;
  writeFile("/proc/self/setgroups", "deny");
  writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
  writeFile("/proc/self/gid_map", "0 " + std::to_string(uid) + " 1");
  std::fflush(stdout);
  const pid_t init = ::fork();  // the first process of the new PID namespace
  if (init != 0) {
    int status = 0;
    ::waitpid(init, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int ready[2];
  if (fd < 0 || ::pipe(ready) != 0) return 1;
  const pid_t victim = ::fork();
  if (victim == 0) {
    if (!connectSocket(fd, socket)) ::_exit(1);
    if (::write(ready[1], "c", 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  char byte;
  if (::read(ready[0], &byte, 1) != 1) return 1;
  const bool sent = sendAs(fd, victim, tidewarden::wire::encodeCall({1, selector, "ridden"}));
  std::printf("%s\n", sent ? awaitReply(fd).c_str() : "closed");
  ::kill(victim, SIGKILL);
  ::waitpid(victim, nullptr, 0);
  return 0;
}

[[noreturn]] void hold(const char* socket, long count, uid_t uid) {
  dropTo(uid);
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
  if (mode == "call" && (argc == 6 || argc == 7)) {
    return call(argv[2], static_cast<uid_t>(std::atol(argv[3])), argv[4], argv[5], argc == 7);
  }
  if (mode == "fanflood" && argc == 5) {
    dropTo(static_cast<uid_t>(std::atol(argv[4])));
    const int fd = connectAdmitted(argv[2]);
    for (long sent = 0; sent < std::atol(argv[3]); ++sent) {
      if (!sendCall(fd, static_cast<std::uint64_t>(sent) * kCalls.size())) break;
    }
    return 0;
  }
  if (mode == "timedcall" && argc == 5) return timedCall(argv[2], argv[3], argv[4]);
  if (mode == "nsride" && argc == 5) return nsride(argv[2], static_cast<uid_t>(std::atol(argv[3])), argv[4]);
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
  return 2;
}
