// Unix-domain socket listener: admission on a worker pool, then a reader and a writer
// thread per admitted connection, with every message bound to its sending process and
// that process bound to the helper's own user and PID namespaces.
#include "platform/ipc_listener.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "platform/unique_fd.h"
#include "wire/wire_protocol.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace tidewarden::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kListenBacklog = 64;
// One read from the socket; a frame larger than this arrives over several reads.
constexpr std::size_t kReadChunkBytes = 64 * 1024;
// Bound on what is read from /proc to recognise the peer's program image.
constexpr std::size_t kMaxProcStatBytes = 4096;

// The helper's own user and PID namespaces, as the kernel names them ("user:[N]").
struct Namespaces {
  std::string user;
  std::string pid;
  bool operator==(const Namespaces&) const = default;
};

// The target of a namespace link in `nsDir` (a /proc/<pid>/ns directory), or "" when it
// cannot be read. Reading the link's text costs no path walk into the namespace file
// system, which is what makes this check cheap enough for every message.
std::string namespaceLink(int nsDir, const char* name) {
  char target[64];
  const ssize_t length = ::readlinkat(nsDir, name, target, sizeof target);
  return length > 0 && static_cast<std::size_t>(length) < sizeof target ? std::string(target, length) : std::string();
}

// Whether that link reads `expected` (never empty); the per-message form, with no copy.
// An empty `name` reads the link that `nsDir` itself is open on.
bool namespaceLinkIs(int nsDir, const char* name, std::string_view expected) {
  char target[64];
  const ssize_t length = ::readlinkat(nsDir, name, target, sizeof target);
  return length > 0 && static_cast<std::size_t>(length) < sizeof target &&
         std::string_view(target, static_cast<std::size_t>(length)) == expected;
}

Namespaces ownNamespaces() {
  const UniqueFd nsDir(::open("/proc/self/ns", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  Namespaces own{nsDir ? namespaceLink(nsDir.get(), "user") : "", nsDir ? namespaceLink(nsDir.get(), "pid") : ""};
  if (own.user.empty() || own.pid.empty()) {
    throw std::runtime_error("Cannot read the helper's own namespaces: " + errnoText(errno));
  }
  return own;
}

// The process at the other end of a connection, as the kernel named it at accept time.
//
// Why this is sound: the pid comes from SO_PEERCRED, and the pidfd and the /proc/<pid>
// directory are taken right after it. If that process had exited and the number been
// reused before the directory was opened, the pidfd (which names the process, not the
// number) would no longer be alive; alive() is checked after the directory is open and
// again after admission, so every later read of the directory is of the process that
// connected. (Without SO_PEERPIDFD, on kernels before 6.5, the window between accept
// and the open remains, as it did for the pid alone.)
//
// Why the namespaces matter: a process may name another process in the credentials it
// attaches to a message only with CAP_SYS_ADMIN over its own PID namespace, and any
// user can make a user and PID namespace of its own (unshare -Urpf) in which it has
// just that. Inside it, it can name every process of that namespace, a genuine client
// it started there included. A peer outside the helper's user and PID namespaces is
// therefore never served; one inside them can only be named by itself or by root.
class PeerProcess {
 public:
  static std::optional<PeerProcess> ofSocket(int fd, const Namespaces& own) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || credentials.pid <= 0) {
      return std::nullopt;
    }
    PeerProcess peer;
    peer.pid_ = credentials.pid;
    peer.uid_ = credentials.uid;
    int pidfd = -1;
    socklen_t pidfdSize = sizeof pidfd;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &pidfdSize) == 0) peer.pidfd_ = UniqueFd(pidfd);
    const std::string directory = "/proc/" + std::to_string(credentials.pid);
    peer.procDir_ = UniqueFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!peer.procDir_) return std::nullopt;
    peer.nsDir_ = UniqueFd(::openat(peer.procDir_.get(), "ns", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!peer.nsDir_) return std::nullopt;
    peer.userNsLink_ = UniqueFd(::openat(peer.nsDir_.get(), "user", O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!peer.userNsLink_ || !peer.alive() || !peer.inNamespaces(own)) return std::nullopt;
    return peer;
  }

  pid_t pid() const { return pid_; }
  uid_t uid() const { return uid_; }
  int procDir() const { return procDir_.get(); }

  bool alive() const {
    if (!pidfd_) return ::kill(pid_, 0) == 0 || errno == EPERM;
    return ::syscall(SYS_pidfd_send_signal, pidfd_.get(), 0, nullptr, 0) == 0;
  }

  bool inNamespaces(const Namespaces& own) const {
    return inUserNamespace(own) && namespaceLinkIs(nsDir_.get(), "pid", own.pid);
  }
  // What may change after admission: a process may leave the helper's user namespace
  // at any time (unshare, setns), while its PID namespace is fixed for its life (only
  // its children can be made to start in another), so the admission's look at that
  // one holds for every later message.
  // The link is held open, so each look reads its target without looking its name up.
  bool inUserNamespace(const Namespaces& own) const { return namespaceLinkIs(userNsLink_.get(), "", own.user); }

  // What changes when the process runs another program: the executable's identity and
  // the layout of its code, data, stack, arguments and environment. Compared before and
  // after admission; nullopt when it cannot be read (the process is gone).
  std::optional<std::string> imageFingerprint() const {
    struct stat exe{};
    if (::fstatat(procDir_.get(), "exe", &exe, 0) != 0) return std::nullopt;
    const std::optional<std::vector<std::string>> values = statFields();
    if (!values) return std::nullopt;
    std::ostringstream fingerprint;
    fingerprint << exe.st_dev << ':' << exe.st_ino << ' ';
    // Kept: startcode, endcode, startstack (26-28) and start_data through env_end
    // (45-51) where the kernel reports them.
    for (std::size_t field = 26; field <= 51; ++field) {
      if (field > 28 && field < 45) continue;
      if (field - kFirstStatField < values->size()) fingerprint << (*values)[field - kFirstStatField] << ' ';
    }
    return fingerprint.str();
  }

 private:
  // The fields of /proc/<pid>/stat from field 3 (state) on, at least through field 28.
  static constexpr std::size_t kFirstStatField = 3;
  std::optional<std::vector<std::string>> statFields() const {
    std::string stat;
    const UniqueFd fd(::openat(procDir_.get(), "stat", O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd || !readAll(fd.get(), stat, kMaxProcStatBytes)) return std::nullopt;
    // The command name is in parentheses and may hold spaces.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::vector<std::string> values;
    for (std::string value; fields >> value;) values.push_back(value);
    if (values.size() < 28 - kFirstStatField + 1) return std::nullopt;
    return values;
  }

  pid_t pid_ = 0;
  uid_t uid_ = 0;
  UniqueFd pidfd_;
  UniqueFd procDir_;
  UniqueFd nsDir_;
  UniqueFd userNsLink_;  // ns/user itself (O_PATH): its target follows the process
};

// The address space an admitted process ran when it was admitted, held through
// /proc/<pid>/pagemap, which keeps a reference to that very address space (not to the
// process). A read through it first takes a hold on the address space, and returns 0
// when that fails: the process ran another program or exited, and the address space is
// gone. Only then does it look at the request (in this order since Linux 4.2), and a
// 1-byte read is no whole page-map entry, so while the address space lives the read
// fails with EINVAL, having touched no memory of the peer. That makes "still the
// program it was admitted as" one cheap read per batch of messages. The genuine client
// never shares its address space with
// another process (it is not traceable and starts nothing), so the address space
// outlives its program only by ending with it.
class AddressSpace {
 public:
  static std::optional<AddressSpace> of(const PeerProcess& peer) {
    AddressSpace space;
    space.pageMap_ = UniqueFd(::openat(peer.procDir(), "pagemap", O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!space.pageMap_ || !space.inUse()) return std::nullopt;
    return space;
  }

  // Anything but "refused the request" counts as gone.
  bool inUse() const {
    char byte;
    ssize_t read;
    do {
      read = ::pread(pageMap_.get(), &byte, 1, 0);
    } while (read < 0 && errno == EINTR);
    return read < 0 && errno == EINVAL;
  }

 private:
  UniqueFd pageMap_;
};

class SocketConnection final : public IncomingConnection {
 public:
  explicit SocketConnection(pid_t pid) : pid_(pid) {}
  pid_t processIdentifier() const override { return pid_; }
  void setExportedInterface(ExportedInterface interface) override {
    methods_.clear();
    for (auto& method : interface) methods_[method.selector] = method;
  }
  void setExportedObject(std::shared_ptr<ExportedObject> object) override { object_ = std::move(object); }
  void setInvalidationHandler(std::function<void()> handler) override { invalidation_ = std::move(handler); }
  void setInterruptionHandler(std::function<void()> handler) override { interruption_ = std::move(handler); }
  void resume() override { resumed_ = true; }

  bool ready() const { return resumed_ && object_ != nullptr && !methods_.empty(); }

  std::map<std::string, ExportedMethod> methods_;
  std::shared_ptr<ExportedObject> object_;
  std::function<void()> invalidation_;
  std::function<void()> interruption_;  // a local socket is never interrupted, only closed

 private:
  pid_t pid_;
  bool resumed_ = false;
};

// The connection slots of the listener, shared with every connection: a connection
// gives its slot back when its last reply has been written or dropped, which may be
// after the listener is gone.
struct ConnectionSlots {
  std::mutex mutex;
  std::size_t open = 0;
  std::map<uid_t, std::size_t> perUser;

  void release(uid_t uid) {
    std::lock_guard lock(mutex);
    --open;
    auto held = perUser.find(uid);
    if (held != perUser.end() && --held->second == 0) perUser.erase(held);
  }
};

// What waits at a user's lane budget for one connection: the oldest call of that lane
// the connection holds. A unit granted to it is the connection's to use.
struct BudgetWaiter {
  std::atomic<bool> granted{false};
  std::function<void()> wake;  // called with the budget's lock held; never blocks
};

// The calls one user has in flight in one lane over all its connections. Without it, a
// user could keep maxConnectionsPerUser times maxCallsInFlight calls waiting on one
// engine queue. While the user is under its limit and none of its connections waits,
// taking and giving back a unit is one atomic operation each. Once one waits, units are
// handed out in the order they were asked for, so no connection of the user starves
// behind its siblings, and a unit given back wakes only the connection it goes to.
class CallBudget {
 public:
  explicit CallBudget(std::size_t limit) : limit_(std::max<std::size_t>(limit, 1)) {}

  // Takes a unit when one is free and nobody waits for one.
  bool tryAcquire() { return waiting_.load() == 0 && tryTake(); }
  // A unit past the limit, for the one call a connection answers as it closes.
  void takeExtra() { used_.fetch_add(1); }

  // Queues `waiter` for the next free unit (it may be granted at once).
  void enqueue(BudgetWaiter& waiter) {
    std::lock_guard lock(mutex_);
    waiters_.push_back(&waiter);
    // Counted before it looks for a unit itself: a release that comes after this sees
    // the waiter, and one that came before left its unit for grantLocked to find.
    waiting_.fetch_add(1);
    grantLocked();
  }
  // Takes a queued waiter out; a unit granted to it meanwhile goes on to the next.
  void withdraw(BudgetWaiter& waiter) {
    {
      std::lock_guard lock(mutex_);
      const auto queued = std::find(waiters_.begin(), waiters_.end(), &waiter);
      if (queued != waiters_.end()) {
        waiters_.erase(queued);
        waiting_.fetch_sub(1);
        return;
      }
    }
    if (waiter.granted.exchange(false)) release();
  }
  void release() {
    used_.fetch_sub(1);
    if (waiting_.load() == 0) return;
    std::lock_guard lock(mutex_);
    grantLocked();
  }

 private:
  bool tryTake() {
    std::size_t used = used_.load();
    while (used < limit_) {
      if (used_.compare_exchange_weak(used, used + 1)) return true;
    }
    return false;
  }

  // Free units go to the longest waiters.
  void grantLocked() {
    while (!waiters_.empty() && tryTake()) {
      BudgetWaiter* next = waiters_.front();
      waiters_.pop_front();
      waiting_.fetch_sub(1);
      next->granted.store(true);
      next->wake();
    }
  }

  const std::size_t limit_;
  std::atomic<std::size_t> used_{0};
  std::atomic<std::size_t> waiting_{0};  // the length of waiters_, readable without the lock
  std::mutex mutex_;
  std::deque<BudgetWaiter*> waiters_;
};

// One user's budgets, one per lane, shared by all its connections.
class UserBudgets {
 public:
  explicit UserBudgets(std::size_t limit) : limit_(limit) {}
  std::shared_ptr<CallBudget> forLane(const std::string& lane) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<CallBudget>& budget = lanes_[lane];
    if (!budget) budget = std::make_shared<CallBudget>(limit_);
    return budget;
  }

 private:
  const std::size_t limit_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<CallBudget>> lanes_;
};

// A call read from the peer whose lane is at a limit: it waits here, in the order it
// came, until the lane has room.
struct HeldCall {
  std::uint64_t callId = 0;
  std::string selector;
  std::optional<std::string> argument;
};

// One lane of one connection.
struct CallLane {
  std::shared_ptr<CallBudget> budget;  // the user's, for this lane
  BudgetWaiter waiter;
  bool waiterQueued = false;           // reader only
  std::deque<HeldCall> held;           // reader only
  std::size_t inFlight = 0;            // under the connection's mutex
};

// A connection from accept until it ends. Before admission it waits in the queue;
// after, the reader and writer threads share it with every reply still owed.
//
// A call is in flight from the moment the reader hands it over until its reply has
// been written to the socket or dropped (a reply to a closed connection is dropped when
// it arrives). Every method belongs to a lane (the methods of one engine queue share
// one), and the limits are per lane: at most maxCallsInFlight calls of a lane per
// connection and maxCallsInFlightPerUser per user are in flight. A call whose lane is
// full is held by the reader, which goes on reading, so a backlog in one lane never
// holds up the calls of another, also on the same connection. Only when maxWaitingCalls
// calls (or maxWaitingCallBytes of them) are held does the reader stop reading: a peer
// that sends faster than it is served, or never reads its replies, is then held back in
// its own socket buffer, and the engines' queues hold at most the lane limits of its
// user's calls. The connection keeps its slot until its threads are done and no call is
// in flight.
class Connection {
 public:
  Connection(UniqueFd fd, UniqueFd wake, PeerProcess peer, SteadyClock::time_point deadline,
             const ListenerLimits& limits, std::shared_ptr<UserBudgets> budgets, std::shared_ptr<ConnectionSlots> slots)
      : fd_(std::move(fd)), wake_(std::move(wake)), peer_(std::move(peer)), deadline_(deadline), limits_(limits),
        budgets_(std::move(budgets)), slots_(std::move(slots)) {}

  int fd() const { return fd_.get(); }
  const PeerProcess& peer() const { return peer_; }
  SteadyClock::time_point deadline() const { return deadline_; }

  // Ends the connection: the peer sees it closed, both threads stop, every queued and
  // later reply is dropped. The descriptor itself is closed by the last thread out.
  void close() {
    std::lock_guard lock(mutex_);
    closeLocked();
  }

  bool closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
  }

  // Gives the slot back at once; for a connection that was never served.
  void releaseUnserved() {
    std::unique_lock lock(mutex_);
    closeLocked();
    threads_ = 0;
    finishIfDoneLocked(lock);
  }

  // The reader: the lane named `name`, made on first use.
  CallLane& lane(const std::string& name) {
    std::lock_guard lock(mutex_);
    auto [found, made] = lanes_.try_emplace(name);
    if (made) {
      found->second.budget = budgets_->forLane(name);
      found->second.waiter.wake = [this] { wake(); };
    }
    return found->second;
  }

  enum class Slot { taken, full, closed };
  // The reader: counts a call of `lane` in flight when the lane has room on this
  // connection and in its user's budget; otherwise the lane's waiter is queued at the
  // budget, and the connection is woken when it is granted a unit.
  Slot takeSlot(CallLane& lane) {
    std::lock_guard lock(mutex_);
    if (closed_) return Slot::closed;
    if (lane.inFlight >= callLimit()) return Slot::full;
    if (lane.waiterQueued) {
      if (!lane.waiter.granted.exchange(false)) return Slot::full;
      lane.waiterQueued = false;
    } else if (!lane.budget->tryAcquire()) {
      lane.waiterQueued = true;
      lane.budget->enqueue(lane.waiter);
      return Slot::full;
    }
    ++lane.inFlight;
    ++inFlight_;
    return Slot::taken;
  }
  // The reader: counts the one call a closing connection still answers, over any limit.
  void takeExtraSlot(CallLane& lane) {
    std::lock_guard lock(mutex_);
    lane.budget->takeExtra();
    ++lane.inFlight;
    ++inFlight_;
  }

  // The reader: holds a call whose lane is full, behind the lane's older ones.
  void hold(CallLane& lane, HeldCall call) {
    ++heldCalls_;
    heldBytes_ += call.selector.size() + (call.argument ? call.argument->size() : 0);
    lane.held.push_back(std::move(call));
  }
  // The reader: the oldest held calls that may now be handed over, lane by lane, each
  // given to `handOver`. False when the connection closed.
  template <class HandOver>
  bool handOverHeld(HandOver handOver) {
    for (auto& [name, lane] : lanes_) {
      while (!lane.held.empty()) {
        const Slot slot = takeSlot(lane);
        if (slot == Slot::closed) return false;
        if (slot == Slot::full) break;
        HeldCall call = std::move(lane.held.front());
        lane.held.pop_front();
        --heldCalls_;
        heldBytes_ -= call.selector.size() + (call.argument ? call.argument->size() : 0);
        handOver(lane, std::move(call));
      }
    }
    return !closed();
  }
  bool holdsCalls() const { return heldCalls_ != 0; }
  bool roomToHold() const { return heldCalls_ < limits_.maxWaitingCalls && heldBytes_ < limits_.maxWaitingCallBytes; }

  // The reader: waits until the peer sent something (when `readSocket`), a held call
  // may have room, or the connection closed. True when the socket has something to read.
  bool awaitWork(bool readSocket) {
    // A socket not to be read is left out: a peer that hung up would make it ready for ever.
    pollfd fds[2] = {{readSocket ? fd_.get() : -1, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) <= 0) return false;
    if (fds[1].revents != 0) {
      std::uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
    }
    return readSocket && fds[0].revents != 0;
  }

  // The reader, as it ends: gives back what its lanes were granted or queued for.
  void withdrawWaiters() {
    for (auto& [name, lane] : lanes_) {
      if (lane.waiterQueued) lane.budget->withdraw(lane.waiter);
      lane.waiterQueued = false;
    }
  }

  // From any thread: the reply to call `callId` of `lane`. Written at once when nothing
  // is queued before it and the socket takes it whole without waiting; otherwise queued
  // for the writer thread, so the thread that answered never waits for the peer. A peer
  // that lets too many replies pile up is disconnected rather than buffered without end.
  void enqueueReply(std::uint64_t callId, const std::string& payload, CallLane& lane) {
    std::unique_lock lock(mutex_);
    queueOrWriteLocked(callId, payload, lane);
    finishIfDoneLocked(lock);
  }

  // No more calls (the peer closed its sending side, or a call could not be read to its
  // end), but the replies owed still go out; then the connection closes.
  void readerFinished() {
    std::lock_guard lock(mutex_);
    readerDone_ = true;
    writerWork_.notify_all();
  }

  // The writer thread: sends queued replies in order until the connection closes, or
  // until the reader is done and no call is in flight any more.
  void writeReplies() {
    std::unique_lock lock(mutex_);
    for (;;) {
      writerWork_.wait(lock, [&] { return closed_ || !backlog_.empty() || (readerDone_ && inFlight_ == 0); });
      if (closed_) break;
      if (backlog_.empty()) {
        closeLocked();
        break;
      }
      QueuedReply reply = std::move(backlog_.front());
      backlog_.pop_front();
      backlogBytes_ -= reply.frame.size();
      writing_ = true;
      lock.unlock();
      // The socket's send time-out is the stall limit: a peer that takes none of the
      // bytes for that long is disconnected.
      const bool sent = wire::writeFully(fd_.get(), reply.frame);
      lock.lock();
      writing_ = false;
      replyDoneLocked(*reply.lane);  // written, or dropped with the connection
      if (!sent) {
        closeLocked();
        break;
      }
    }
  }

  // Called by each of the two threads as it ends; the last one closes the descriptor.
  void threadFinished() {
    std::unique_lock lock(mutex_);
    if (--threads_ == 0) fd_.reset();
    finishIfDoneLocked(lock);
  }

 private:
  struct QueuedReply {
    std::string frame;
    CallLane* lane;
  };

  void queueOrWriteLocked(std::uint64_t callId, const std::string& payload, CallLane& lane) {
    if (closed_) return replyDoneLocked(lane);  // dropped
    // Put together in a buffer the connection keeps, so a reply the socket takes at once
    // costs no allocation; one that was large is not kept.
    const std::array<char, wire::kReplyHeaderBytes> header = wire::replyHeader(callId, payload.size());
    outgoing_.assign(header.data(), header.size());
    outgoing_ += payload;
    writeOrQueueLocked(outgoing_, lane);
    if (outgoing_.capacity() > kReadChunkBytes) outgoing_ = std::string();
  }

  void writeOrQueueLocked(std::string_view frame, CallLane& lane) {
    if (backlog_.empty() && !writing_) {
      ssize_t sent;
      do {
        sent = ::send(fd_.get(), frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      } while (sent < 0 && errno == EINTR);
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        replyDoneLocked(lane);
        return closeLocked();
      }
      if (sent > 0) frame.remove_prefix(static_cast<std::size_t>(sent));
      if (frame.empty()) return replyDoneLocked(lane);
    }
    if (backlog_.size() + 1 > limits_.maxReplyBacklogFrames ||
        backlogBytes_ + frame.size() > limits_.maxReplyBacklogBytes) {
      replyDoneLocked(lane);
      return closeLocked();
    }
    backlogBytes_ += frame.size();
    backlog_.push_back({std::string(frame), &lane});
    writerWork_.notify_all();
  }

  std::size_t callLimit() const { return std::max<std::size_t>(limits_.maxCallsInFlight, 1); }

  // Wakes the reader only when the lane was full: on the ping's path no thread is woken.
  void replyDoneLocked(CallLane& lane) {
    --inFlight_;
    if (lane.inFlight-- == callLimit()) wake();
    if (readerDone_ && inFlight_ == 0) writerWork_.notify_all();
    lane.budget->release();
  }

  void wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
  }

  void closeLocked() {
    if (!closed_) {
      closed_ = true;
      if (fd_) ::shutdown(fd_.get(), SHUT_RDWR);
      for (QueuedReply& dropped : backlog_) replyDoneLocked(*dropped.lane);
      backlog_.clear();
      backlogBytes_ = 0;
      wake();
    }
    writerWork_.notify_all();
  }

  // Gives the slot back once, when no thread and no call is left; the slots' own lock is
  // taken after `lock` is let go.
  void finishIfDoneLocked(std::unique_lock<std::mutex>& lock) {
    if (threads_ != 0 || inFlight_ != 0 || slotReleased_) return;
    slotReleased_ = true;
    lock.unlock();
    slots_->release(peer_.uid());
  }

  mutable std::mutex mutex_;
  std::condition_variable writerWork_;  // the writer waits here for a reply to send
  UniqueFd fd_;
  const UniqueFd wake_;  // an eventfd: a held call may have room, or the connection closed
  const PeerProcess peer_;
  const SteadyClock::time_point deadline_;
  const ListenerLimits limits_;
  const std::shared_ptr<UserBudgets> budgets_;
  const std::shared_ptr<ConnectionSlots> slots_;
  // Made by the reader under mutex_; a node is never removed while the connection lives.
  std::map<std::string, CallLane> lanes_;
  std::size_t heldCalls_ = 0;  // reader only
  std::size_t heldBytes_ = 0;  // reader only
  std::deque<QueuedReply> backlog_;
  std::string outgoing_;  // the reply being put together, under mutex_
  std::size_t backlogBytes_ = 0;
  std::size_t inFlight_ = 0;
  bool writing_ = false;  // the writer thread is sending a frame outside the lock
  bool readerDone_ = false;
  bool closed_ = false;
  bool slotReleased_ = false;
  int threads_ = 2;
};

// One call's reply on its way to the connection: the first answer is framed and sent,
// later ones are ignored, and a call whose reply block is dropped unanswered gets an
// empty reply, so every call gets exactly one. Shared by every copy of the block.
class PendingReply {
 public:
  PendingReply(std::shared_ptr<Connection> connection, std::uint64_t callId, CallLane& lane)
      : connection_(std::move(connection)), callId_(callId), lane_(lane) {}
  ~PendingReply() { send({}); }
  PendingReply(const PendingReply&) = delete;
  PendingReply& operator=(const PendingReply&) = delete;

  void send(std::string payload) {
    if (answered_.exchange(true)) return;
    if (payload.size() + 8 > wire::kMaxFrameBytes) payload.clear();
    connection_->enqueueReply(callId_, payload, lane_);
  }

 private:
  const std::shared_ptr<Connection> connection_;
  const std::uint64_t callId_;
  CallLane& lane_;  // a node of the connection's lanes, which the connection keeps
  std::atomic<bool> answered_{false};
};

// What receiveWithSender returns when, not waiting, it found nothing to read.
constexpr ssize_t kNothingYet = -2;

// Reads up to `capacity` bytes with the sender's credentials. Returns the byte count
// (0 at end of stream, -1 on error, kNothingYet when not to `wait` and nothing is there)
// and the sending process, 0 when the kernel attached none.
ssize_t receiveWithSender(int fd, char* buffer, std::size_t capacity, pid_t& sender, bool wait) {
  iovec io{buffer, capacity};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t received;
  do {
    received = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT));
  } while (received < 0 && errno == EINTR);
  sender = 0;
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !wait) return kNothingYet;
  if (received <= 0 || (message.msg_flags & MSG_CTRUNC) != 0) return received;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS &&
        header->cmsg_len == CMSG_LEN(sizeof(ucred))) {
      ucred credentials{};
      std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
      sender = credentials.pid;
    }
  }
  return received;
}

class UnixListener final : public Listener {
 public:
  UnixListener(UniqueFd listenFd, std::string path, dev_t device, ino_t inode, ListenerLimits limits)
      : listenFd_(std::move(listenFd)), path_(std::move(path)), device_(device), inode_(inode),
        limits_(limits), own_(ownNamespaces()), wake_(::eventfd(0, EFD_CLOEXEC)) {
    if (!wake_) {
      throw std::runtime_error("Cannot create the listener's wake-up descriptor: " + errnoText(errno));
    }
  }

  ~UnixListener() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      for (auto& waiting : waiting_) waiting->close();
      for (auto& session : sessions_) session.connection->close();
      admissionReady_.notify_all();
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    if (acceptThread_.joinable()) acceptThread_.join();
    // A worker still examining a peer finishes that one examination; its connection is
    // already closed, so nothing is admitted.
    for (auto& worker : workers_) worker.join();
    std::list<Session> sessions;
    {
      std::lock_guard lock(mutex_);
      for (auto& session : sessions_) session.connection->close();
      sessions.splice(sessions.end(), sessions_);
    }
    for (auto& session : sessions) {
      session.reader.join();
      session.writer.join();
    }
    struct stat st{};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) ::unlink(path_.c_str());
  }

  void setDelegate(ListenerDelegate* delegate) override { delegate_ = delegate; }

  void resume() override {
    if (acceptThread_.joinable()) return;
    for (std::size_t index = 0; index < std::max<std::size_t>(limits_.admissionWorkers, 1); ++index) {
      workers_.emplace_back([this] { admitConnections(); });
    }
    acceptThread_ = std::thread([this] { acceptLoop(); });
  }

 private:
  struct Session {
    std::shared_ptr<Connection> connection;
    std::thread reader;
    std::thread writer;
    std::shared_ptr<std::atomic<int>> running;
  };

  void acceptLoop() {
    for (;;) {
      pollfd fds[2] = {{listenFd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      const int ready = ::poll(fds, 2, closeExpiredWaiting());
      if (ready < 0 && errno != EINTR) return;
      if (fds[1].revents != 0) return;
      if ((fds[0].revents & POLLIN) == 0) continue;
      UniqueFd client(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client) continue;
      reapFinished();
      std::optional<PeerProcess> peer = PeerProcess::ofSocket(client.get(), own_);
      if (!peer) continue;  // closed unread
      std::lock_guard lock(mutex_);
      {
        std::lock_guard slotLock(slots_->mutex);
        std::size_t& held = slots_->perUser[peer->uid()];
        if (stopping_ || slots_->open >= limits_.maxConnections || held >= limits_.maxConnectionsPerUser) {
          if (held == 0) slots_->perUser.erase(peer->uid());
          continue;  // closed unread
        }
        ++held;
        ++slots_->open;
      }
      // The writer's stall limit: a send that moves no byte for this long fails.
      const auto stall = std::chrono::duration_cast<std::chrono::microseconds>(limits_.writeStallLimit);
      timeval timeout{static_cast<time_t>(stall.count() / 1000000), static_cast<suseconds_t>(stall.count() % 1000000)};
      ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
      UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
      if (!wake) {
        slots_->release(peer->uid());
        continue;  // closed unread
      }
      std::shared_ptr<UserBudgets>& budgets = budgets_[peer->uid()];
      if (!budgets) budgets = std::make_shared<UserBudgets>(limits_.maxCallsInFlightPerUser);
      auto connection = std::make_shared<Connection>(std::move(client), std::move(wake), std::move(*peer),
                                                     SteadyClock::now() + limits_.admissionTimeLimit, limits_,
                                                     budgets, slots_);
      waiting_.push_back(connection);
      queue_.push_back(connection);
      admissionReady_.notify_one();
    }
  }

  // Closes every connection whose admission ran past its time limit; returns the poll
  // time-out until the next such limit (-1 when nothing waits).
  int closeExpiredWaiting() {
    std::lock_guard lock(mutex_);
    const auto now = SteadyClock::now();
    std::optional<SteadyClock::duration> nearest;
    for (auto& connection : waiting_) {
      if (connection->closed()) continue;
      if (connection->deadline() <= now) {
        connection->close();
      } else if (!nearest || connection->deadline() - now < *nearest) {
        nearest = connection->deadline() - now;
      }
    }
    if (!nearest) return -1;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*nearest).count());
  }

  void admitConnections() {
    for (;;) {
      std::shared_ptr<Connection> connection;
      {
        std::unique_lock lock(mutex_);
        admissionReady_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        connection = std::move(queue_.front());
        queue_.pop_front();
      }
      std::optional<Admission> admission;
      if (!connection->closed()) admission = admit(*connection);
      std::lock_guard lock(mutex_);
      waiting_.remove(connection);
      if (!admission || stopping_ || connection->closed()) {
        connection->releaseUnserved();
      } else {
        startServing(std::move(connection), std::move(*admission));
      }
    }
  }

  struct Admission {
    std::unique_ptr<SocketConnection> incoming;  // what the delegate configured
    AddressSpace space;                          // the peer's program as admitted
  };

  // Runs admission on a worker. The delegate examines the process behind the pid; the
  // connection is admitted only if, afterwards, that same process is still alive, still
  // in the helper's namespaces, still runs the program image it ran before the
  // examination, and the time limit has not passed. The address space is taken between
  // the examination and the last look at the image, so it is the one examined.
  std::optional<Admission> admit(const Connection& connection) {
    if (delegate_ == nullptr) return std::nullopt;
    const PeerProcess& peer = connection.peer();
    std::optional<std::string> before = peer.imageFingerprint();
    if (!before) return std::nullopt;
    auto incoming = std::make_unique<SocketConnection>(peer.pid());
    if (!delegate_->shouldAcceptNewConnection(*incoming) || !incoming->ready()) return std::nullopt;
    if (!peer.alive() || SteadyClock::now() >= connection.deadline()) return std::nullopt;
    std::optional<AddressSpace> space = AddressSpace::of(peer);
    const std::optional<std::string> after = peer.imageFingerprint();
    if (!space || !after || *after != *before || !peer.inNamespaces(own_)) return std::nullopt;
    return Admission{std::move(incoming), std::move(*space)};
  }

  void threadFinished(const std::shared_ptr<Connection>& connection, std::atomic<int>& running) {
    connection->threadFinished();
    running.fetch_sub(1);
  }

  void startServing(std::shared_ptr<Connection> connection, Admission admission) {
    auto running = std::make_shared<std::atomic<int>>(2);
    Session session{connection, {}, {}, running};
    session.writer = std::thread([this, connection, running] {
      connection->writeReplies();
      threadFinished(connection, *running);
    });
    session.reader = std::thread([this, connection, running, admission = std::move(admission)] {
      serve(connection, *admission.incoming, admission.space);
      if (admission.incoming->invalidation_) admission.incoming->invalidation_();
      threadFinished(connection, *running);
    });
    sessions_.push_back(std::move(session));
  }

  // Reads what the peer sent next, served only when the kernel names the admitted
  // process as its sender and that process still runs the program it was admitted
  // with, in the helper's namespaces. One check per batch of bytes read together.
  // Returns the byte count, 0 at the end of the stream, -1 when the connection must
  // close, kNothingYet when not to `wait` and nothing is there yet.
  ssize_t receiveChecked(const Connection& connection, const AddressSpace& space, std::vector<char>& buffer,
                         bool wait) {
    pid_t sender = 0;
    const ssize_t received = receiveWithSender(connection.fd(), buffer.data(), buffer.size(), sender, wait);
    if (received <= 0) return received;
    if (sender != connection.peer().pid() || !space.inUse() || !connection.peer().inUserNamespace(own_)) return -1;
    return received;
  }

  // The reader thread of an admitted connection: reads calls in order and hands each
  // over as soon as its lane has room, holding it until then (see Connection).
  void serve(const std::shared_ptr<Connection>& connection, SocketConnection& incoming, const AddressSpace& space) {
    readCalls(connection, incoming, space);
    connection->withdrawWaiters();
  }

  void readCalls(const std::shared_ptr<Connection>& connection, SocketConnection& incoming, const AddressSpace& space) {
    wire::FrameReader reader;
    std::vector<char> buffer(kReadChunkBytes);
    std::string body;
    bool peerDone = false;
    bool oversized = false;
    const auto handOver = [&](CallLane& lane, HeldCall call) {
      incoming.object_->invoke(call.selector, std::move(call.argument), replyBlock(connection, call.callId, lane));
    };
    for (;;) {
      if (!connection->handOverHeld(handOver)) return;
      while (!oversized && connection->roomToHold()) {
        const wire::FrameReader::Status status = reader.next(body);
        if (status == wire::FrameReader::Status::needMore) break;
        if (status == wire::FrameReader::Status::tooLarge) {
          oversized = true;
        } else if (!acceptCall(connection, incoming, body, handOver)) {
          return connection->close();
        }
      }
      // The calls before an oversized one, or before the end of the stream, are all
      // handed over first: each is answered.
      if (oversized && !connection->holdsCalls()) return refuseOversized(connection, incoming, space, reader);
      if (peerDone && !connection->holdsCalls()) return connection->readerFinished();
      if (!connection->awaitWork(!peerDone && !oversized && connection->roomToHold())) continue;
      const ssize_t received = receiveChecked(*connection, space, buffer, /*wait=*/false);
      if (received == kNothingYet) continue;
      if (received < 0) return connection->close();
      if (received == 0) {
        peerDone = true;
      } else {
        reader.append(std::string_view(buffer.data(), static_cast<std::size_t>(received)));
      }
    }
  }

  // A frame over the transport limit is not read, but once its call id and selector
  // have arrived, a call of a method that takes an argument is answered (the exported
  // object says how) before the connection closes. Anything else closes it at once.
  void refuseOversized(const std::shared_ptr<Connection>& connection, SocketConnection& incoming,
                       const AddressSpace& space, wire::FrameReader& reader) {
    std::vector<char> buffer(kReadChunkBytes);
    wire::CallHead head = wire::decodeCallHead(reader.partialBody());
    while (head.status == wire::CallHead::Status::needMore) {
      const ssize_t received = receiveChecked(*connection, space, buffer, /*wait=*/true);
      if (received <= 0) return connection->close();
      reader.append(std::string_view(buffer.data(), static_cast<std::size_t>(received)));
      head = wire::decodeCallHead(reader.partialBody());
    }
    const auto method = incoming.methods_.find(head.selector);
    if (head.status != wire::CallHead::Status::head || method == incoming.methods_.end() ||
        !method->second.takesArgument || connection->closed()) {
      return connection->close();
    }
    CallLane& lane = connection->lane(method->second.lane);
    connection->takeExtraSlot(lane);
    incoming.object_->refuseOversized(head.selector, replyBlock(connection, head.callId, lane));
    connection->readerFinished();
  }

  // The reply block of one call: its reply frame goes to the connection exactly once.
  static ReplyBlock replyBlock(const std::shared_ptr<Connection>& connection, std::uint64_t callId, CallLane& lane) {
    return [pending = std::make_shared<PendingReply>(connection, callId, lane)](std::string reply) {
      pending->send(std::move(reply));
    };
  }

  // Hands one call over when its lane has room and holds none older, else holds it;
  // false for a transport violation.
  template <class HandOver>
  bool acceptCall(const std::shared_ptr<Connection>& connection, SocketConnection& incoming, const std::string& body,
                  HandOver& handOver) {
    auto call = wire::decodeCall(body);
    if (!call) return false;
    auto method = incoming.methods_.find(call->selector);
    if (method == incoming.methods_.end()) return false;
    HeldCall held{call->callId, std::move(call->selector), std::nullopt};
    if (method->second.takesArgument) {
      held.argument = std::move(call->argument);
    } else if (!call->argument.empty()) {
      return false;
    }
    CallLane& lane = connection->lane(method->second.lane);
    if (lane.held.empty() && connection->takeSlot(lane) == Connection::Slot::taken) {
      handOver(lane, std::move(held));
    } else {
      connection->hold(lane, std::move(held));
    }
    return true;
  }

  void reapFinished() {
    std::list<Session> finished;
    {
      std::lock_guard lock(mutex_);
      for (auto it = sessions_.begin(); it != sessions_.end();) {
        auto next = std::next(it);
        if (it->running->load() == 0) finished.splice(finished.end(), sessions_, it);
        it = next;
      }
    }
    for (auto& session : finished) {
      session.reader.join();
      session.writer.join();
    }
  }

  UniqueFd listenFd_;
  std::string path_;
  dev_t device_;
  ino_t inode_;
  const ListenerLimits limits_;
  const Namespaces own_;
  UniqueFd wake_;
  ListenerDelegate* delegate_ = nullptr;
  std::thread acceptThread_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable admissionReady_;
  std::deque<std::shared_ptr<Connection>> queue_;     // waiting for a worker
  std::list<std::shared_ptr<Connection>> waiting_;    // not yet admitted or refused
  const std::shared_ptr<ConnectionSlots> slots_ = std::make_shared<ConnectionSlots>();
  // One per user that has connected, shared by all its connections.
  std::map<uid_t, std::shared_ptr<UserBudgets>> budgets_;
  std::list<Session> sessions_;
  bool stopping_ = false;
};

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

std::unique_ptr<Listener> Listener::create(const std::string& socketPath, ListenerLimits limits) {
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
  // Set on the listening socket so that every accepted socket has it from its first
  // byte: the kernel then tags each message with the process that wrote it, which
  // stands in for the audit token of a message on macOS.
  const int on = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    fail("Cannot ask for sender credentials on", socketPath);
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("Cannot bind", socketPath);
  struct stat bound{};
  if (::lstat(socketPath.c_str(), &bound) != 0) fail("Cannot inspect", socketPath);
  // Every local user may connect; admission checks the peer's code signature.
  if (::chmod(socketPath.c_str(), 0666) != 0) fail("Cannot set permissions of", socketPath);
  if (::listen(fd.get(), kListenBacklog) != 0) fail("Cannot listen on", socketPath);
  return std::make_unique<UnixListener>(std::move(fd), socketPath, bound.st_dev, bound.st_ino, limits);
}

}  // namespace tidewarden::platform
