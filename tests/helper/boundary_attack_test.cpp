// The socket boundary attacked as a local user would: a process riding on the genuine
// client's connection, a huge program holding connections, a client that never reads its replies.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "helper/helper_process.h"
#include "platform/code_signer.h"
#include "support/child_program.h"
#include "support/platform_waits.h"
#include "support/signed_helper_fixture.h"
#include "support/signing_fixture.h"
#include "support/test_platform.h"
#include "support/wire_client.h"
#include "wire/wire_protocol.h"

namespace tidewarden::helper {
namespace {

using platform::UniqueFd;
using testing::kClientIdentifier;
using Clock = std::chrono::steady_clock;

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

class BoundaryAttackTest : public testing::SignedHelperFixture {
 protected:
  void SetUp() override { startHelper(); }
  // A copy of `program` signed as the genuine client.
  std::string genuine(const std::string& program, const std::string& name) {
    return signedCopy(program, name, kClientIdentifier, teamA);
  }
};

// An unsigned process connects through a child that then becomes the genuine client,
// and writes its own calls on the shared socket. Whatever the timing, it is never served.
TEST_F(BoundaryAttackTest, AProcessSharingTheGenuineClientsSocketIsNeverServed) {
  const std::string client = genuine(TIDEWARDEN_CTL_PATH, "client");
  // A socket that accepts and never answers keeps the client waiting for its own ping.
  const std::string decoy = files.path() + "/decoy.sock";
  UniqueFd decoyFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un decoyAddress = addressOf(decoy);
  ASSERT_EQ(::bind(decoyFd.get(), reinterpret_cast<const sockaddr*>(&decoyAddress), sizeof decoyAddress), 0);
  ASSERT_EQ(::listen(decoyFd.get(), 128), 0);

  const sockaddr_un helperAddress = addressOf(socket);
  const std::string call = wire::encodeCall({1, "pingWithReply:", ""});
  const char* argv[] = {client.c_str(), "--socket", decoy.c_str(), "ping", nullptr};
  for (int attempt = 0; attempt < 100; ++attempt) {
    UniqueFd shared(::socket(AF_UNIX, SOCK_STREAM, 0));  // inherited across the exec
    const pid_t child = ::fork();
    if (child == 0) {
      if (::connect(shared.get(), reinterpret_cast<const sockaddr*>(&helperAddress), sizeof helperAddress) != 0) {
        ::_exit(1);
      }
      ::execv(argv[0], const_cast<char* const*>(argv));
      ::_exit(1);
    }
    // Ride as soon as the child runs the genuine client.
    testing::eventually([&] { return testing::programOf(child) == client; });
    // The helper may already have closed the connection: that is a refusal too.
    (void)::send(shared.get(), call.data(), call.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(testing::closesWithoutAByte(shared.get())) << "attempt " << attempt;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
}

// An ad hoc signed 1 GiB program, run by another user, keeps as many connections
// waiting for admission as it may. Each is refused without its bytes being hashed, so
// the genuine client is still answered at once.
TEST_F(BoundaryAttackTest, AHugeAdHocProgramHoldingConnectionsDoesNotKeepTheGenuineClientWaiting) {
  const std::string client = genuine(TIDEWARDEN_CTL_PATH, "client");
  const std::string huge = testing::sparseSignedCopy(TIDEWARDEN_TEST_PEER_PATH, files.path() + "/huge", 1ull << 30,
                                                     kClientIdentifier, std::nullopt);
  ASSERT_EQ(::chmod(files.path().c_str(), 0755), 0);
  constexpr const char* kNobody = "65534";
  testing::RunningProgram attacker({huge, "hold", socket, "128", kNobody});
  ASSERT_EQ(attacker.readLine(std::chrono::seconds(30)), "holding");
  for (int attempt = 0; attempt < 5; ++attempt) {
    const auto started = Clock::now();
    EXPECT_EQ(testing::runProgram({client, "--socket", socket, "ping"}).exitCode, 0);
    // A ping takes milliseconds; waiting behind the held connections would take the
    // 5 s admission limit. The bound leaves room for a loaded machine.
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(3)) << "attempt " << attempt;
  }
  // Stopping the helper does not wait for the connections held in admission.
  const auto stopping = Clock::now();
  helper.reset();
  EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(3));
}

TEST_F(BoundaryAttackTest, AClientThatNeverReadsHoldsUpNoQueueAndIsCutOff) {
  const std::string peer = genuine(TIDEWARDEN_TEST_PEER_PATH, "peer");
  const std::string client = genuine(TIDEWARDEN_CTL_PATH, "client");
  testing::RunningProgram flood({peer, "flood", socket, "1000"});
  const auto sent = flood.readLine(std::chrono::seconds(30));
  ASSERT_TRUE(sent);

  const std::string fanRequest = files.path() + "/fan.json";
  std::ofstream(fanRequest) << R"({"action":"inspect","mode":"system","targets":{},"thermalSource":"cpu",)"
                               R"("thresholdCelsius":0,"acknowledged":false})";
  const std::string preflight = files.path() + "/preflight.json";
  std::ofstream(preflight) << R"({"packageBytes":1,"packageAlreadyDownloaded":false})";
  const std::vector<std::vector<std::string>> calls = {
      {"call", "fanControl:withReply:", "--data", fanRequest},
      {"call", "scanInterruptedInstallerDownloadsWithReply:"},
      {"call", "preflightInstallerPreparation:withReply:", "--data", preflight},
  };
  for (const auto& arguments : calls) {
    std::vector<std::string> argv = {client, "--socket", socket};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto started = Clock::now();
    EXPECT_EQ(testing::runProgram(argv).exitCode, 0) << arguments[1];
    // Their own work takes milliseconds; a queue stuck behind the flood would take
    // at least the writer's stall limit.
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(3)) << arguments[1];
  }
  EXPECT_EQ(flood.readLine(std::chrono::seconds(30)), "closed") << *sent;
}

}  // namespace
}  // namespace tidewarden::helper
