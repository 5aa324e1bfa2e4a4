// The socket listener: admission before any byte, framing rules, pipelining, and
// work that outlives its caller.
#include "platform/ipc_listener.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/platform_waits.h"
#include "support/temp_dir.h"
#include "support/wire_client.h"

namespace tidewarden::platform {
namespace {

using testing::WireClient;

// Echoes "echo:" calls at once; "later:" calls (a lane of their own) are answered from another thread when
// the test opens the gate (or dropped there when the argument is "unanswered"); other
// calls are never answered explicitly.
class TestObject final : public ExportedObject, public std::enable_shared_from_this<TestObject> {
 public:
  void invoke(const std::string& selector, std::optional<std::string> argument, ReplyBlock reply) override {
    if (selector == "echo:") return reply(*argument);
    if (selector == "later:") {
      {
        std::lock_guard lock(mutex);
        ++started;
      }
      std::thread([self = shared_from_this(), reply = std::move(reply), argument] {
        std::unique_lock lock(self->mutex);
        self->changed.wait(lock, [&] { return self->open; });
        lock.unlock();
        if (*argument != "unanswered") reply(*argument);  // else the block is dropped unanswered
        lock.lock();
        ++self->finished;
        self->changed.notify_all();
      }).detach();
    }
  }
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    changed.notify_all();
  }
  bool waitFinished(int count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return finished >= count; });
  }
  int startedCount() {
    std::lock_guard lock(mutex);
    return started;
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int started = 0;
  int finished = 0;
};

class TestDelegate final : public ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(IncomingConnection& connection) override {
    seenPid = connection.processIdentifier();
    if (decideAfter.valid()) decideAfter.wait();
    if (!admit) return false;
    connection.setExportedInterface({{"echo:", true}, {"later:", true, "slow"}, {"plain", false}});
    connection.setExportedObject(object);
    connection.resume();
    return true;
  }
  bool admit = true;
  std::shared_future<void> decideAfter;  // when valid, every decision waits for it
  std::atomic<pid_t> seenPid{0};
  std::shared_ptr<TestObject> object = std::make_shared<TestObject>();
};

// Short limits, so that a stalled peer shows in milliseconds.
ListenerLimits testLimits() {
  ListenerLimits limits;
  limits.admissionTimeLimit = std::chrono::milliseconds(2000);
  limits.writeStallLimit = std::chrono::milliseconds(300);
  limits.maxReplyBacklogFrames = 64;
  // Every peer here is one user; the budget of a user is the helper-level tests' matter.
  limits.maxCallsInFlightPerUser = 64;
  return limits;
}

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.path() + "/helper.sock";
    restart(testLimits());
  }
  void TearDown() override {
    delegate.object->release();
    listener.reset();
  }
  void restart(const ListenerLimits& limits) {
    listener.reset();
    listener = Listener::create(path, limits);
    listener->setDelegate(&delegate);
    listener->resume();
  }
  testing::TempDir dir;
  std::string path;
  TestDelegate delegate;
  std::unique_ptr<Listener> listener;
};

TEST_F(ListenerTest, AdmittedPeerIsServedAndItsPidIsTheKernelsWhileARefusedOneGetsNoByte) {
  WireClient client(path);
  EXPECT_EQ(client.call("echo:", "hello"), "hello");
  EXPECT_EQ(delegate.seenPid.load(), ::getpid());
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  delegate.admit = false;
  WireClient refused(path);
  refused.send("echo:", "hello");
  EXPECT_TRUE(refused.closedWithoutAByte());
}

TEST_F(ListenerTest, TransportViolationsCloseTheConnection) {
  // An unknown selector, an argument for a method that takes none, a selector length past
  // the end of the frame.
  const std::string selectorPastTheEnd = std::string("\0\0\0\x0c\0\0\0\0\0\0\0\0\0\x09", 14) + "ab";
  for (const std::string& frame :
       {wire::encodeCall({1, "unknown:", "x"}), wire::encodeCall({1, "plain", "x"}), selectorPastTheEnd}) {
    WireClient client(path);
    client.sendRaw(frame);
    EXPECT_FALSE(client.next()) << frame.size();
  }
  // Frames over the transport limit: a method that takes an argument answers once its
  // selector has been read, and the connection closes; any other closes at once.
  const std::uint32_t size = wire::kMaxFrameBytes + 1;
  const std::string prefix{char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
  for (const char* selector : {"echo:", "plain", "unknown:"}) {
    WireClient client(path);
    client.sendRaw(prefix + wire::encodeCall({7, selector, "start of a long argument"}).substr(4));
    const auto reply = client.next();
    EXPECT_EQ(reply.has_value(), std::string(selector) == "echo:") << selector;
    if (reply) {
      EXPECT_EQ(reply->callId, 7u);
    }
    EXPECT_FALSE(client.next()) << selector;
  }
  // A call its handler drops unanswered still gets one reply, empty.
  WireClient good(path);
  EXPECT_EQ(good.call("plain"), std::string());
}

// A lane may have maxCallsInFlight calls of a connection unanswered; what comes beyond
// them is held, in order, while a call of another lane behind them is served at once.
// Past maxWaitingCalls held calls the reader stops reading: what follows waits unread.
TEST_F(ListenerTest, CallsBeyondALanesLimitAreHeldWhileOtherLanesAreServedUntilTooManyWait) {
  const int limit = static_cast<int>(testLimits().maxCallsInFlight);
  for (const std::size_t waiting : {std::size_t{32}, std::size_t{2}}) {
    ListenerLimits limits = testLimits();
    limits.maxWaitingCalls = waiting;
    restart(limits);
    {
      std::lock_guard lock(delegate.object->mutex);
      delegate.object->open = false;
      delegate.object->started = 0;
    }
    WireClient client(path);
    std::set<std::uint64_t> ids;
    for (int i = 0; i < limit + 2; ++i) ids.insert(client.send("later:", "held"));
    ids.insert(client.send("echo:", "behind"));
    if (waiting > 2) {
      const auto reply = client.next();
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->payload, "behind");
      EXPECT_EQ(delegate.object->startedCount(), limit);
    } else {
      EXPECT_FALSE(client.next(std::chrono::milliseconds(200)));
    }
    delegate.object->release();
    for (std::size_t left = ids.size() - (waiting > 2 ? 1 : 0); left > 0; --left) {
      auto held = client.next();
      ASSERT_TRUE(held);
      EXPECT_EQ(ids.erase(held->callId), 1u);
    }
    EXPECT_FALSE(client.next(std::chrono::milliseconds(100)));
  }
}

// One user's calls over all its connections share its budget: a connection beyond it waits
// unread, a unit given back goes to that waiter, and every unit comes back.
TEST_F(ListenerTest, AUsersCallsInFlightShareOneBudgetAcrossItsConnections) {
  ListenerLimits limits = testLimits();
  limits.maxCallsInFlightPerUser = 2;
  restart(limits);
  WireClient first(path), second(path), third(path);
  const auto payloadOf = [](WireClient& client) { return client.next().value_or(wire::ReplyFrame{}).payload; };
  const auto holdOneEach = [&](const char* argument) {
    first.send("later:", argument);
    second.send("later:", argument);
  };
  holdOneEach("first");
  ASSERT_TRUE(testing::eventually([&] { return delegate.object->startedCount() == 2; }));
  third.send("later:", "waited");
  EXPECT_FALSE(third.next(std::chrono::milliseconds(200)));
  delegate.object->release();
  EXPECT_EQ(payloadOf(first), "first");
  EXPECT_EQ(payloadOf(second), "first");
  EXPECT_EQ(payloadOf(third), "waited");

  {
    std::lock_guard lock(delegate.object->mutex);
    delegate.object->open = false;
  }
  holdOneEach("again");
  EXPECT_TRUE(testing::eventually([&] { return delegate.object->startedCount() == 5; }));
  delegate.object->release();
  EXPECT_EQ(payloadOf(first), "again");
  EXPECT_EQ(payloadOf(second), "again");
}

// The test peer program, run to its end; its standard output.
std::string runPeer(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {TIDEWARDEN_TEST_PEER_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return testing::runProgram(argv).standardOutput;
}

constexpr const char* kNobody = "65534";

// Any user may make user and PID namespaces of its own; in them it may name any of its
// processes as a message's sender. Such a peer is not served, nor is an admitted one
// that has moved into a user namespace of its own.
TEST_F(ListenerTest, APeerOutsideTheListenersNamespacesIsNeverServed) {
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  EXPECT_EQ(runPeer({"nsride", path, kNobody, "echo:"}), "closed\n");
  EXPECT_EQ(runPeer({"call", path, kNobody, "echo:", "hello", "unshare"}), "reply hello\nclosed\n");
}

// Two connections of this user, each half-closed with a reply still owed, fill the
// limit under test: a third is closed unread, another user's gets in only when the
// limit is per user, and once the replies are written a new connection is served.
TEST_F(ListenerTest, ConnectionLimitsCountAConnectionUntilItsLastReplyIsWritten) {
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  struct Case {
    std::size_t perUser;
    std::size_t overall;
    const char* otherUser;
  };
  for (const Case& limit : {Case{2, 8, "reply in\n"}, Case{8, 2, "closed\n"}}) {
    ListenerLimits limits = testLimits();
    limits.maxConnectionsPerUser = limit.perUser;
    limits.maxConnections = limit.overall;
    delegate.object = std::make_shared<TestObject>();
    restart(limits);
    std::vector<std::unique_ptr<WireClient>> owed;
    for (int i = 0; i < 2; ++i) {
      owed.push_back(std::make_unique<WireClient>(path));
      owed.back()->send("later:", "owed");
      owed.back()->shutdownSending();
    }
    ASSERT_TRUE(testing::eventually([&] { return delegate.object->startedCount() == 2; }));
    WireClient third(path);
    third.send("echo:", "over");
    EXPECT_TRUE(third.closedWithoutAByte()) << limit.perUser;
    EXPECT_EQ(runPeer({"call", path, kNobody, "echo:", "in"}), limit.otherUser);
    delegate.object->release();
    for (auto& client : owed) {
      EXPECT_TRUE(client->next());
      EXPECT_FALSE(client->next());
    }
    owed.clear();
    // The slots are given back just after the last reply is written.
    std::optional<std::string> served;
    for (int attempt = 0; attempt < 200 && !served; ++attempt) served = WireClient(path).call("echo:", "again");
    EXPECT_EQ(served, "again");
  }
}

TEST_F(ListenerTest, AConnectionNotAdmittedWithinTheTimeLimitIsClosedUnread) {
  ListenerLimits limits = testLimits();
  limits.admissionTimeLimit = std::chrono::milliseconds(200);
  restart(limits);
  std::promise<void> decide;
  delegate.decideAfter = decide.get_future().share();
  WireClient late(path);
  late.send("echo:", "late");
  // Closed while the delegate is still deciding; its yes afterwards admits nothing.
  EXPECT_TRUE(late.closedWithoutAByte());
  decide.set_value();  // from now on every decision is made at once
  WireClient inTime(path);
  EXPECT_EQ(inTime.call("echo:", "in time"), "in time");
}

// Work goes on when its peer leaves mid-call, and when the listener itself goes: a reply
// sent, and one dropped unanswered (which answers it empty), after the connection and its
// listener are gone are both dropped, and neither touches anything freed.
TEST_F(ListenerTest, WorkOutlivesItsPeerAndTheListenerAndItsLateRepliesTouchNothingFreed) {
  {
    WireClient client(path);
    client.send("later:", "orphan");
    client.close();
  }
  WireClient other(path);
  EXPECT_EQ(other.call("echo:", "still serving"), "still serving");
  other.send("later:", "too late");
  other.send("later:", "unanswered");
  ASSERT_TRUE(testing::eventually([&] { return delegate.object->startedCount() == 3; }));
  listener.reset();
  EXPECT_FALSE(other.next());  // closed, nothing sent
  delegate.object->release();
  EXPECT_TRUE(delegate.object->waitFinished(3));
  EXPECT_FALSE(other.next(std::chrono::milliseconds(100)));
}

// A caller that half-closes still gets the reply of every call: the boundary tests make the
// calls of every queue through the real helper.

// A peer that never reads has its replies fill the socket; the threads that answer never
// wait for it, and once a reply has made no progress for the stall limit it is cut off,
// which ends its sending. What part of a big reply was buffered can still be read, never the whole.
// Another peer's big reply, sent in parts as it reads, arrives intact.
TEST_F(ListenerTest, APeerThatStopsReadingIsDisconnectedAfterTheStallLimitAndHoldsUpNobody) {
  WireClient big(path);
  big.send("echo:", std::string(4 * 1024 * 1024, 'x'));  // larger than the socket can buffer
  const auto sent = std::chrono::steady_clock::now();
  WireClient stuck(path);
  std::thread sender([&] {
    for (int i = 0; i < 1000; ++i) stuck.send("echo:", std::string(16 * 1024, 'x'));
  });
  WireClient other(path);
  EXPECT_EQ(other.call("echo:", "served"), "served");
  // A reply the socket cannot take at once reaches a peer that reads it whole and in order.
  std::string pattern(1024 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 7919 % 251);
  EXPECT_TRUE(other.call("echo:", pattern) == pattern);
  EXPECT_TRUE(big.peerClosed(std::chrono::seconds(10)));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, testLimits().writeStallLimit);
  EXPECT_FALSE(big.next(std::chrono::seconds(5)));
  sender.join();
  int replies = 0;
  while (stuck.next(std::chrono::seconds(5))) ++replies;
  EXPECT_LT(replies, 1000);
}

// A socket connected by a child process; the child answers the test through `signal`.
struct SharedSocket {
  UniqueFd fd;
  pid_t child = -1;
  UniqueFd signal;
  ~SharedSocket() {
    if (child > 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
  }
};

// Forks a child that connects `fd` (shared with the test), makes one echo call on it,
// reports the reply's length on a pipe, then either waits or runs `execArgv`, with the
// socket as descriptor 3 and `execInput` on its standard input.
void connectFromChild(SharedSocket& shared, const std::string& path, const char* const* execArgv = nullptr) {
  shared.fd = UniqueFd(::socket(AF_UNIX, SOCK_STREAM, 0));
  int report[2];
  EXPECT_EQ(::pipe2(report, O_CLOEXEC), 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const std::string call = wire::encodeCall({1, "echo:", "from the child"});
  shared.child = ::fork();
  if (shared.child == 0) {
    // Only system calls from here on: the parent has threads.
    const int fd = shared.fd.get();
    char reply[64];
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
    if (::write(fd, call.data(), call.size()) != static_cast<ssize_t>(call.size())) ::_exit(1);
    const ssize_t got = ::read(fd, reply, sizeof reply);
    const char length = static_cast<char>(got);
    if (::write(report[1], &length, 1) != 1) ::_exit(1);
    if (execArgv != nullptr) {
      ::dup2(fd, 3);
      ::execv(execArgv[0], const_cast<char* const*>(execArgv));
      ::_exit(1);
    }
    for (;;) ::pause();
  }
  ::close(report[1]);
  shared.signal = UniqueFd(report[0]);
}

// Length of the child's reply, as it reported it.
int childReplyLength(const SharedSocket& shared) {
  char length = 0;
  return ::read(shared.signal.get(), &length, 1) == 1 ? length : -1;
}

TEST_F(ListenerTest, BytesFromAnotherProcessOnTheAdmittedSocketCloseIt) {
  const std::string call = wire::encodeCall({2, "echo:", "from the parent"});
  SharedSocket shared;
  connectFromChild(shared, path);
  // The admitted child was served: a reply frame of 4 + 8 + 14 bytes.
  ASSERT_EQ(childReplyLength(shared), 26);
  EXPECT_EQ(delegate.seenPid.load(), shared.child);
  ASSERT_EQ(::write(shared.fd.get(), call.data(), call.size()), static_cast<ssize_t>(call.size()));
  EXPECT_TRUE(testing::closesWithoutAByte(shared.fd.get()));
}

TEST_F(ListenerTest, AnAdmittedProcessThatRunsAnotherProgramIsCutOff) {
  // After the exec, the shell writes a well-formed call on the inherited socket.
  const std::string call = wire::encodeCall({2, "echo:", "after exec"});
  std::string octal;
  for (unsigned char byte : call) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
    octal += escaped;
  }
  const std::string script = "printf '" + octal + "' >&3; exec sleep 30";
  const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  SharedSocket shared;
  connectFromChild(shared, path, argv);
  ASSERT_EQ(childReplyLength(shared), 26);
  EXPECT_TRUE(testing::closesWithoutAByte(shared.fd.get()));
}

TEST(ListenerCreate, ReplacesAStaleSocketButNothingElse) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/helper.sock";
  // A socket left behind by an earlier run is replaced, and removed with the listener.
  ASSERT_EQ(::mknod(path.c_str(), S_IFSOCK | 0755, 0), 0);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(path)) && Listener::create(path));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
  const std::string file = dir.path() + "/file";
  std::ofstream(file) << "keep";
  EXPECT_THROW(Listener::create(file), std::runtime_error);
  EXPECT_EQ(std::filesystem::file_size(file), 4u);
}

}  // namespace
}  // namespace tidewarden::platform
