// Unix-domain socket listener with per-connection admission threads.
#include "platform/ipc_listener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/once_reply.h"
#include "platform/unique_fd.h"
#include "wire/wire_protocol.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace tidewarden::platform {
namespace {

// Connections served at once; further connections are closed unread until one ends.
constexpr std::size_t kMaxConnections = 128;
constexpr int kListenBacklog = 64;

// Serialises whole reply frames onto one socket; shared by the connection thread and
// every outstanding reply, so the descriptor lives until the last of them is done.
class ConnectionWriter {
 public:
  explicit ConnectionWriter(UniqueFd fd) : fd_(std::move(fd)) {}
  int fd() const { return fd_.get(); }
  void send(const std::string& frame) {
    std::lock_guard lock(mutex_);
    if (!broken_ && !wire::writeFully(fd_.get(), frame)) broken_ = true;
  }
  void shutdown() { ::shutdown(fd_.get(), SHUT_RDWR); }

 private:
  UniqueFd fd_;
  std::mutex mutex_;
  bool broken_ = false;
};

class SocketConnection final : public IncomingConnection {
 public:
  explicit SocketConnection(pid_t pid) : pid_(pid) {}
  pid_t processIdentifier() const override { return pid_; }
  void setExportedInterface(ExportedInterface interface) override {
    methods_.clear();
    for (auto& method : interface) methods_[method.selector] = method.takesArgument;
  }
  void setExportedObject(std::shared_ptr<ExportedObject> object) override { object_ = std::move(object); }
  void setInvalidationHandler(std::function<void()> handler) override { invalidation_ = std::move(handler); }
  void setInterruptionHandler(std::function<void()> handler) override { interruption_ = std::move(handler); }
  void resume() override { resumed_ = true; }

  bool ready() const { return resumed_ && object_ != nullptr && !methods_.empty(); }
  const std::map<std::string, bool>& methods() const { return methods_; }
  ExportedObject& object() const { return *object_; }
  void invalidate() const {
    if (invalidation_) invalidation_();
  }

 private:
  pid_t pid_;
  std::map<std::string, bool> methods_;
  std::shared_ptr<ExportedObject> object_;
  std::function<void()> invalidation_;
  std::function<void()> interruption_;  // a local socket is never interrupted, only closed
  bool resumed_ = false;
};

std::optional<pid_t> peerProcessIdentifier(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || credentials.pid <= 0) {
    return std::nullopt;
  }
  return credentials.pid;
}

// A descriptor for the peer process itself (not its number), where the kernel offers
// one. With it, admission can prove that the process it examined is still the one at
// the other end of the socket: a pid can be reused once its process has exited, a
// pidfd cannot be.
UniqueFd peerProcessDescriptor(int fd) {
  int pidfd = -1;
  socklen_t size = sizeof pidfd;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &size) != 0) return UniqueFd();
  return UniqueFd(pidfd);
}

bool processStillRunning(const UniqueFd& pidfd) {
  return ::syscall(SYS_pidfd_send_signal, pidfd.get(), 0, nullptr, 0) == 0;
}

class UnixListener final : public Listener {
 public:
  UnixListener(UniqueFd listenFd, std::string path, dev_t device, ino_t inode)
      : listenFd_(std::move(listenFd)), path_(std::move(path)), device_(device), inode_(inode),
        wake_(::eventfd(0, EFD_CLOEXEC)) {
    if (!wake_) throw std::runtime_error("Cannot create the listener's wake-up descriptor: " + std::string(std::strerror(errno)));
  }

  ~UnixListener() override {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    if (acceptThread_.joinable()) acceptThread_.join();
    std::list<Session> sessions;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      for (auto& session : sessions_) session.writer->shutdown();
      sessions.splice(sessions.end(), sessions_);
    }
    for (auto& session : sessions) session.thread.join();
    struct stat st{};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) ::unlink(path_.c_str());
  }

  void setDelegate(ListenerDelegate* delegate) override { delegate_ = delegate; }

  void resume() override {
    if (acceptThread_.joinable()) return;
    acceptThread_ = std::thread([this] { acceptLoop(); });
  }

 private:
  struct Session {
    std::shared_ptr<ConnectionWriter> writer;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void acceptLoop() {
    for (;;) {
      pollfd fds[2] = {{listenFd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      UniqueFd client(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client) continue;
      reapFinished();
      std::lock_guard lock(mutex_);
      if (stopping_ || sessions_.size() >= kMaxConnections) continue;  // closed unread
      auto writer = std::make_shared<ConnectionWriter>(std::move(client));
      auto done = std::make_shared<std::atomic<bool>>(false);
      Session session{writer, {}, done};
      session.thread = std::thread([this, writer, done] {
        serve(writer);
        done->store(true);
      });
      sessions_.push_back(std::move(session));
    }
  }

  void reapFinished() {
    std::list<Session> finished;
    {
      std::lock_guard lock(mutex_);
      for (auto it = sessions_.begin(); it != sessions_.end();) {
        auto next = std::next(it);
        if (it->done->load()) finished.splice(finished.end(), sessions_, it);
        it = next;
      }
    }
    for (auto& session : finished) session.thread.join();
  }

  // Runs on the connection's own thread: admission first, then calls in order.
  void serve(const std::shared_ptr<ConnectionWriter>& writer) {
    const int fd = writer->fd();
    auto pid = peerProcessIdentifier(fd);
    if (!pid || delegate_ == nullptr) return writer->shutdown();
    UniqueFd pidfd = peerProcessDescriptor(fd);
    SocketConnection connection(*pid);
    bool admitted = delegate_->shouldAcceptNewConnection(connection) && connection.ready();
    // The delegate examined the process behind `pid`. If that process had exited and
    // the number had been reused meanwhile, the descriptor taken at accept time would
    // no longer name a live process: refuse rather than serve a stranger.
    if (admitted && pidfd && !processStillRunning(pidfd)) admitted = false;
    if (!admitted) return writer->shutdown();

    std::string body;
    for (;;) {
      if (wire::readFrame(fd, body) != wire::ReadStatus::frame) break;
      auto call = wire::decodeCall(body);
      if (!call) break;
      auto method = connection.methods().find(call->selector);
      if (method == connection.methods().end()) break;
      std::optional<std::string> argument;
      if (method->second) {
        argument = std::move(call->argument);
      } else if (!call->argument.empty()) {
        break;
      }
      const std::uint64_t callId = call->callId;
      auto once = OnceReply<std::string>::make([writer, callId](std::string payload) {
        if (payload.size() + 8 > wire::kMaxFrameBytes) payload.clear();
        writer->send(wire::encodeReply({callId, std::move(payload)}));
      });
      connection.object().invoke(call->selector, std::move(argument),
                                 [once](std::string reply) { once->send(std::move(reply)); });
    }
    writer->shutdown();
    connection.invalidate();
  }

  UniqueFd listenFd_;
  std::string path_;
  dev_t device_;
  ino_t inode_;
  UniqueFd wake_;
  ListenerDelegate* delegate_ = nullptr;
  std::thread acceptThread_;
  std::mutex mutex_;
  std::list<Session> sessions_;
  bool stopping_ = false;
};

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

std::unique_ptr<Listener> Listener::create(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    fail("Cannot listen on", socketPath);
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

  struct stat existing{};
  if (::lstat(socketPath.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      errno = EEXIST;
      fail("Refusing to replace a file that is not a socket at", socketPath);
    }
    if (::unlink(socketPath.c_str()) != 0) fail("Cannot remove the stale socket", socketPath);
  }

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) fail("Cannot create a socket for", socketPath);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("Cannot bind", socketPath);
  struct stat bound{};
  if (::lstat(socketPath.c_str(), &bound) != 0) fail("Cannot inspect", socketPath);
  // Every local user may connect; admission checks the peer's code signature.
  if (::chmod(socketPath.c_str(), 0666) != 0) fail("Cannot set permissions of", socketPath);
  if (::listen(fd.get(), kListenBacklog) != 0) fail("Cannot listen on", socketPath);
  return std::make_unique<UnixListener>(std::move(fd), socketPath, bound.st_dev, bound.st_ino);
}

}  // namespace tidewarden::platform
