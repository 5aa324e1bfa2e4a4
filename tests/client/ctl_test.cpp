// tidewarden-ctl as a real child against a scripted helper socket: frames sent, bytes written, exit statuses.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "support/child_program.h"
#include "support/temp_dir.h"
#include "wire/wire_protocol.h"

namespace tidewarden::testing {
namespace {

using platform::UniqueFd;
using namespace std::chrono_literals;

constexpr const char* kCtl = TIDEWARDEN_CTL_PATH;
constexpr const char* kNoReplyMessage =
    "tidewarden-ctl: the helper closed the connection without a reply (not admitted?)\n";

UniqueFd listenOn(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 8) != 0) {
    ADD_FAILURE() << "cannot listen on " << path;
  }
  return fd;
}

bool pendingConnection(const UniqueFd& listener, std::chrono::milliseconds bound) {
  pollfd entry{listener.get(), POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(bound.count())) == 1;
}

// A stand-in for the helper that serves one connection with a scripted behaviour and
// records the call it received.
class ScriptedHelper {
 public:
  using Behaviour = std::function<void(int fd, ScriptedHelper&)>;

  explicit ScriptedHelper(const std::string& socketPath) : listener_(listenOn(socketPath)) {}
  ~ScriptedHelper() {
    if (thread_.joinable()) thread_.join();
  }

  void serveOnce(Behaviour behaviour) {
    thread_ = std::thread([this, behaviour = std::move(behaviour)] {
      if (!pendingConnection(listener_, 30s)) return;
      UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (connection) behaviour(connection.get(), *this);
    });
  }
  // Reads one call frame and records it.
  void readCall(int fd) {
    std::string body;
    if (wire::readFrame(fd, body) == wire::ReadStatus::frame) received = wire::decodeCall(body);
  }
  void finish() {
    if (thread_.joinable()) thread_.join();
  }
  // True when nobody connected (checked after the client has exited).
  bool untouched() { return !pendingConnection(listener_, 0ms) && !received; }

  std::optional<wire::CallFrame> received;

 private:
  UniqueFd listener_;
  std::thread thread_;
};

ScriptedHelper::Behaviour replyWith(std::string payload, std::optional<std::uint64_t> callId = std::nullopt) {
  return [payload, callId](int fd, ScriptedHelper& helper) {
    helper.readCall(fd);
    const std::uint64_t id = callId ? *callId : (helper.received ? helper.received->callId : 0);
    wire::writeFully(fd, wire::encodeReply({id, payload}));
  };
}

class CtlTest : public ::testing::Test {
 protected:
  std::string socketPath() const { return dir_.path() + "/helper.sock"; }
  std::string file(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  ProgramResult ctl(std::vector<std::string> arguments, const std::string& input = {}) {
    std::vector<std::string> argv{kCtl, "--socket", socketPath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, input);
  }

  TempDir dir_;
};

TEST_F(CtlTest, PingSendsTheSelectorWithoutArgumentAndPrintsTheReplyLine) {
  ScriptedHelper helper(socketPath());
  helper.serveOnce(replyWith("Tidewarden privileged helper ready — UID 0, EUID 0"));
  const ProgramResult result = ctl({"ping"});
  helper.finish();

  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.standardOutput, "Tidewarden privileged helper ready — UID 0, EUID 0\n");
  EXPECT_EQ(result.standardError, "");
  ASSERT_TRUE(helper.received);
  EXPECT_EQ(helper.received->callId, 1u);
  EXPECT_EQ(helper.received->selector, "pingWithReply:");
  EXPECT_EQ(helper.received->argument, "");
}

TEST_F(CtlTest, CallCarriesFileBytesExactlyBothWays) {
  const std::string request("{\"a\":1}\0\xff\n tail", 15);
  const std::string reply("\0reply\xfe\n\0", 9);
  ScriptedHelper helper(socketPath());
  helper.serveOnce(replyWith(reply));
  const ProgramResult result = ctl({"call", "fanControl:withReply:", "--data", file("request.bin", request)});
  helper.finish();

  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.standardOutput, reply);  // no newline added, NULs kept
  ASSERT_TRUE(helper.received);
  EXPECT_EQ(helper.received->selector, "fanControl:withReply:");
  EXPECT_EQ(helper.received->argument, request);
}

TEST_F(CtlTest, CallReadsStandardInputForDashAndSendsNothingWithoutData) {
  {
    ScriptedHelper helper(socketPath());
    helper.serveOnce(replyWith("{}"));
    const ProgramResult result = ctl({"call", "--data", "-", "rescueDriveStatus:withReply:"}, "not json");
    helper.finish();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardOutput, "{}");
    ASSERT_TRUE(helper.received);
    EXPECT_EQ(helper.received->selector, "rescueDriveStatus:withReply:");
    EXPECT_EQ(helper.received->argument, "not json");
  }
  ::unlink(socketPath().c_str());
  {
    ScriptedHelper helper(socketPath());
    helper.serveOnce(replyWith(""));
    const ProgramResult result = ctl({"call", "runInstallerPreparationSafetyCheckWithReply:"}, "ignored stdin");
    helper.finish();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.standardOutput, "");  // an empty reply is still a reply
    ASSERT_TRUE(helper.received);
    EXPECT_EQ(helper.received->argument, "");
  }
}

TEST_F(CtlTest, ConnectionClosedWithoutReplyExitsThree) {
  struct Case {
    const char* name;
    ScriptedHelper::Behaviour behaviour;
  };
  const std::vector<Case> cases = {
      // Admission refusal: closed before anything is read.
      {"closed unread", [](int, ScriptedHelper&) {}},
      {"closed after reading", [](int fd, ScriptedHelper& helper) { helper.readCall(fd); }},
      {"reply cut short",
       [](int fd, ScriptedHelper& helper) {
         helper.readCall(fd);
         const std::string frame = wire::encodeReply({1, "{\"accepted\":false}"});
         wire::writeFully(fd, frame.substr(0, 10));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(socketPath().c_str());
    ScriptedHelper helper(socketPath());
    helper.serveOnce(c.behaviour);
    const ProgramResult result = ctl({"call", "fanControl:withReply:", "--data", "-"}, "{}");
    helper.finish();
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, kNoReplyMessage);
  }
}

TEST_F(CtlTest, MalformedReplyAndMissingHelperExitOne) {
  {
    ScriptedHelper helper(socketPath());
    helper.serveOnce(replyWith("{}", /*callId=*/7));
    const ProgramResult result = ctl({"ping"});
    helper.finish();
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, "tidewarden-ctl: the helper's reply is malformed\n");
  }
  ::unlink(socketPath().c_str());
  const ProgramResult missing = ctl({"ping"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.standardError,
            "tidewarden-ctl: cannot connect to " + socketPath() + ": No such file or directory\n");

  {
    // A socket file nobody listens on any more.
    UniqueFd stale = listenOn(socketPath());
  }
  const ProgramResult refused = ctl({"ping"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.standardError, "tidewarden-ctl: cannot connect to " + socketPath() + ": Connection refused\n");
}

TEST_F(CtlTest, UnreadableDataFailsBeforeConnecting) {
  ScriptedHelper helper(socketPath());
  const std::string missing = dir_.path() + "/missing.json";
  const ProgramResult result = ctl({"call", "fanControl:withReply:", "--data", missing});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.standardError, "tidewarden-ctl: cannot read " + missing + ": No such file or directory\n");
  EXPECT_TRUE(helper.untouched());
}

TEST_F(CtlTest, UsageErrorsExitTwoWithoutConnecting) {
  struct Case {
    std::vector<std::string> arguments;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{}, "no command given"},
      {{"status"}, "unknown command status"},
      {{"--verbose", "ping"}, "unknown option --verbose"},
      {{"ping", "extra"}, "ping takes no arguments"},
      {{"call"}, "call needs a selector, e.g. pingWithReply:"},
      {{"call", "a:", "b:"}, "call takes one selector, got a second: b:"},
      {{"call", "a:", "--data"}, "--data needs a file name or -"},
      {{"call", "a:", "--data", "-", "--data", "-"}, "--data given twice"},
      {{"call", "a:", "--raw"}, "unknown option --raw for call"},
      {{"call", "fan Control:"}, "the selector must be 1 to 256 printable ASCII characters without spaces"},
      {{"call", std::string(257, 'a')}, "the selector must be 1 to 256 printable ASCII characters without spaces"},
  };
  ScriptedHelper helper(socketPath());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const ProgramResult result = ctl(c.arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_TRUE(result.standardError.starts_with(std::string("tidewarden-ctl: ") + c.message + "\nusage: "))
        << result.standardError;
  }
  const ProgramResult noSocketPath = runProgram({kCtl, "--socket"});
  EXPECT_EQ(noSocketPath.exitCode, 2);
  EXPECT_TRUE(noSocketPath.standardError.starts_with("tidewarden-ctl: --socket needs a path\n"));
  EXPECT_TRUE(helper.untouched());

  const ProgramResult help = runProgram({kCtl, "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(help.standardOutput.starts_with("usage: tidewarden-ctl [--socket PATH] COMMAND\n"));
  EXPECT_NE(help.standardOutput.find("call SELECTOR [--data FILE|-]"), std::string::npos);
  EXPECT_EQ(help.standardError, "");
}

TEST_F(CtlTest, DataLargerThanOneFrameIsRefusedLocally) {
  ScriptedHelper helper(socketPath());
  const std::string big = dir_.path() + "/big.bin";
  {
    std::ofstream out(big, std::ios::binary);
    out.seekp(static_cast<std::streamoff>(wire::kMaxFrameBytes));
    out.put('x');  // one byte past the frame limit, sparse
  }
  const ProgramResult result = ctl({"call", "fanControl:withReply:", "--data", big});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.standardError, "tidewarden-ctl: cannot send " + big +
                                      ": it is larger than the transport's limit of 16777216 bytes\n");
  EXPECT_TRUE(helper.untouched());
}

}  // namespace
}  // namespace tidewarden::testing
