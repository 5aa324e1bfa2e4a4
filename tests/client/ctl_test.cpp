// tidewarden-ctl as a real child against a scripted helper socket (frames sent, bytes written, exit statuses)
// and against a simulated Mac's tools.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "support/child_program.h"
#include "support/platform_waits.h"
#include "support/simulated_disks_fixture.h"
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
  ::unlink(path.c_str());
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
// records the call it received. Without a behaviour nobody is served: the listener only
// shows whether a client came.
class ScriptedHelper {
 public:
  using Behaviour = std::function<void(int fd, ScriptedHelper&)>;

  explicit ScriptedHelper(const std::string& socketPath, Behaviour behaviour = {}) : listener_(listenOn(socketPath)) {
    if (!behaviour) return;
    thread_ = std::thread([this, behaviour = std::move(behaviour)] {
      if (!pendingConnection(listener_, 30s)) return;
      UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (connection) behaviour(connection.get(), *this);
    });
  }
  ~ScriptedHelper() { finish(); }
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

TEST_F(CtlTest, SendsOneCallAndPrintsTheReply) {
  const std::string ready = "Tidewarden privileged helper ready — UID 0, EUID 0";
  const std::string request("{\"a\":1}\0\xff\n tail", 15);
  const std::string binaryReply("\0reply\xfe\n\0", 9);
  const std::string budget = "Working-space budget: 23.59 GB additional, 1.1 TB available.";
  const std::string refused = R"({"allowed":false,"message":"Not enough working space.","estimatedAdditionalBytes":1})";
  struct Case {
    std::vector<std::string> arguments;
    std::string input, reply, selector, argument, output;
    int exitCode = 0;
  };
  const std::vector<Case> cases = {
      // ping sends no argument and prints the reply as a line.
      {{"ping"}, "", ready, "pingWithReply:", "", ready + "\n"},
      // File bytes go out unchanged; the reply comes back without a newline added, NULs kept.
      {{"call", "fanControl:withReply:", "--data", file("request.bin", request)}, "", binaryReply,
       "fanControl:withReply:", request, binaryReply},
      {{"call", "--data", "-", "rescueDriveStatus:withReply:"}, "not json", "{}", "rescueDriveStatus:withReply:",
       "not json", "{}"},
      // Without --data nothing is sent, and an empty reply is still a reply.
      {{"call", "runInstallerPreparationSafetyCheckWithReply:"}, "ignored stdin", "",
       "runInstallerPreparationSafetyCheckWithReply:", "", ""},
      // preflight sends the size and prints the budget; no room is exit 4.
      {{"preflight", "--package-bytes", "5000000000", "--already-downloaded"}, "",
       R"({"allowed":true,"message":")" + budget +
           R"(","availableBytes":1099511627776,"estimatedAdditionalBytes":23589934592})",
       "preflightInstallerPreparation:withReply:", R"({"packageAlreadyDownloaded":true,"packageBytes":5000000000})",
       budget + "\n  budget: 23589934592 bytes\n  available: 1099511627776 bytes\n"},
      {{"preflight", "--json", "--package-bytes", "1"}, "", refused, "preflightInstallerPreparation:withReply:",
       R"({"packageAlreadyDownloaded":false,"packageBytes":1})", refused + "\n", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + c.selector);
    ScriptedHelper helper(socketPath(), replyWith(c.reply));
    const ProgramResult result = ctl(c.arguments, c.input);
    helper.finish();
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.standardOutput, c.output);
    EXPECT_EQ(result.standardError, "");
    ASSERT_TRUE(helper.received);
    EXPECT_EQ(helper.received->callId, 1u);
    EXPECT_EQ(helper.received->selector, c.selector);
    EXPECT_EQ(helper.received->argument, c.argument);
  }
}

TEST_F(CtlTest, ABrokenExchangePrintsNothingAndExitsNonZero) {
  struct Case {
    const char* name;
    ScriptedHelper::Behaviour behaviour;
    int exitCode;
    std::string message;
  };
  const std::vector<Case> cases = {
      // Admission refusal: closed before anything is read.
      {"closed unread", [](int, ScriptedHelper&) {}, 3, kNoReplyMessage},
      {"closed after reading", [](int fd, ScriptedHelper& helper) { helper.readCall(fd); }, 3, kNoReplyMessage},
      {"reply cut short",
       [](int fd, ScriptedHelper& helper) {
         helper.readCall(fd);
         wire::writeFully(fd, wire::encodeReply({1, "{\"accepted\":false}"}).substr(0, 10));
       },
       3, kNoReplyMessage},
      {"reply to another call", replyWith("{}", /*callId=*/7), 1, "tidewarden-ctl: the helper's reply is malformed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHelper helper(socketPath(), c.behaviour);
    const ProgramResult result = ctl({"call", "fanControl:withReply:", "--data", "-"}, "{}");
    helper.finish();
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, c.message);
  }
}

TEST_F(CtlTest, LocalFailuresExitOne) {
  const ProgramResult missing = ctl({"ping"});
  EXPECT_EQ(missing.exitCode, 1);
  const std::string cannot = "tidewarden-ctl: cannot connect to " + socketPath() + ": ";
  EXPECT_EQ(missing.standardError, cannot + "No such file or directory\n");
  listenOn(socketPath());  // a socket file nobody listens on any more
  const ProgramResult stale = ctl({"ping"});
  EXPECT_EQ(stale.exitCode, 1);
  EXPECT_EQ(stale.standardError, cannot + "Connection refused\n");

  // Data that cannot be read or sent fails before connecting.
  ScriptedHelper helper(socketPath());
  const std::string absent = dir_.path() + "/missing.json", big = dir_.path() + "/big.bin";
  {
    std::ofstream out(big, std::ios::binary);
    out.seekp(static_cast<std::streamoff>(wire::kMaxFrameBytes));
    out.put('x');  // one byte past the frame limit, sparse
  }
  const std::string tooLarge = ": it is larger than the transport's limit of 16777216 bytes";
  for (const auto& [data, message] : {std::pair(absent, "cannot read " + absent + ": No such file or directory"),
                                      std::pair(big, "cannot send " + big + tooLarge)}) {
    const ProgramResult result = ctl({"call", "fanControl:withReply:", "--data", data});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.standardError, "tidewarden-ctl: " + message + "\n");
  }
  EXPECT_TRUE(helper.untouched());
}

TEST_F(CtlTest, UsageErrorsExitTwoWithoutConnecting) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
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
      {{"fan", "apply", "--max"},
       "fan apply needs --acknowledge: overriding the fans is your decision, and the helper takes no override "
       "without it"},
      {{"fan", "restore", "--acknowledge"}, "--acknowledge belongs to fan apply"},
      {{"preflight", "--package-bytes", "13 GB"}, "--package-bytes needs a whole number of bytes, got 13 GB"},
  };
  ScriptedHelper helper(socketPath());
  for (const auto& [arguments, message] : cases) {
    SCOPED_TRACE(message);
    const ProgramResult result = ctl(arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_TRUE(result.standardError.starts_with("tidewarden-ctl: " + message + "\n")) << result.standardError;
  }
  const ProgramResult noSocketPath = runProgram({kCtl, "--socket"});
  EXPECT_EQ(noSocketPath.exitCode, 2);
  EXPECT_TRUE(noSocketPath.standardError.starts_with("tidewarden-ctl: --socket needs a path\nusage: "));
  EXPECT_TRUE(helper.untouched());

  const ProgramResult help = runProgram({kCtl, "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(help.standardOutput.starts_with("usage: tidewarden-ctl [--socket PATH] COMMAND\n"));
  EXPECT_NE(help.standardOutput.find("call SELECTOR [--data FILE|-]"), std::string::npos);
  EXPECT_EQ(help.standardError, "");
}

// Starts `argv` as an ordinary user, reading standard input from `input`.
pid_t startAsUser(uid_t user, const std::vector<std::string>& arguments, int input) {
  std::vector<std::string> copy = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copy) argv.push_back(argument.data());
  argv.push_back(nullptr);
  char* envp[] = {nullptr};
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::dup2(input, STDIN_FILENO) < 0 || ::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 ||
        ::setuid(user) != 0) {
      ::_exit(126);
    }
    ::execve(argv[0], argv.data(), envp);
    ::_exit(127);
  }
  return pid;
}

TEST(CtlProcessTest, ClientMakesItselfNonDumpable) {
  // Seen from outside, the files in /proc/<pid> of a non-dumpable process belong to
  // root, whoever runs it; those of an ordinary program run by a user belong to that user.
  constexpr uid_t kUser = 4321;
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd read(fds[0]);
  UniqueFd write(fds[1]);
  const std::string cat = std::filesystem::canonical("/bin/cat");
  // Both wait for standard input: the client for its --data, cat to copy it.
  const pid_t client = startAsUser(kUser, {kCtl, "--socket", "/nonexistent", "call", "x", "--data", "-"}, read.get());
  const pid_t control = startAsUser(kUser, {cat}, read.get());
  const auto owner = [](pid_t pid) {
    struct stat st{};
    return ::stat(("/proc/" + std::to_string(pid) + "/status").c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
  };
  EXPECT_TRUE(eventually([&] { return programOf(control) == cat && owner(control) == kUser; }));
  EXPECT_TRUE(eventually([&] { return programOf(client) == kCtl && owner(client) == 0; }));

  write.reset();
  int status = 0;
  ASSERT_EQ(::waitpid(client, &status, 0), client);
  EXPECT_EQ(WEXITSTATUS(status), 1);  // no helper at /nonexistent
  ASSERT_EQ(::waitpid(control, &status, 0), control);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// rescue destinations: the rows of a simulated Mac, built by the client itself.
using CtlRescueTest = SimulatedDisksTest;

TEST_F(CtlRescueTest, DestinationsAreTheInventoryRowsOfTheSimulatedMac) {
  plugIn("usb-15g9");
  plugIn("usb-32g-gpt");
  const std::vector<std::string> command{TIDEWARDEN_CTL_PATH, "rescue", "destinations", "--mac", mac_.directory()};
  const ProgramResult table = runProgram(command);
  ASSERT_EQ(table.exitCode, 0) << table.standardError;
  EXPECT_NE(table.standardOutput.find("no: Physical disk is smaller than 16 GB. No erase destination on this device was "
                                      "approved.\n"),
            std::string::npos)
      << table.standardOutput;
  EXPECT_NE(table.standardOutput.find("disk5s2    partition           31790243840 exfat                    "
                                      "/Volumes/STICK5        offered\n"),
            std::string::npos)
      << table.standardOutput;

  // The --json rows are what the Rescue Drive simulator tests start creations with.
  fault(sim::WorldToolFaultKind::exit, 2);
  const ProgramResult failed = runProgram(command);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.standardError,
            "tidewarden-ctl: diskutil list -plist external physical failed or returned incomplete metadata (exit 2, "
            "timeout false)\n");
}

}  // namespace
}  // namespace tidewarden::testing
