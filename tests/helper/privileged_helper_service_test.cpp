// The service envelope over the real socket: byte limits, decoding failures, the
// failure shape of every method, the fixed replies and the local-installer guard.
#include "helper/privileged_helper_service.h"

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "helper/client_code_validator.h"
#include "helper/installer_helper_reply.h"
#include "helper/privileged_helper_listener_delegate.h"
#include "rescue/rescue_drive_coordinator.h"
#include "rescue/rescue_messages.h"
#include "storage/preparation_storage_gate.h"
#include "support/test_platform.h"
#include "support/wire_client.h"

namespace tidewarden::helper {
namespace {

using nlohmann::json;
using testing::WireClient;

const std::string kDigest(64, 'c');

json validRescueStart() {
  rescue::RescueDestination destination;
  destination.scope = rescue::RescueDestinationScope::partition;
  return json{{"installerPath", "/Applications/Install macOS Sequoia.app"},
              {"destination", platform::json::encodeValue(destination)},
              {"confirmedScope", "partition"},
              {"destinationProtocol", "rescue-destination-scope-v3"}};
}

// A scan of an application that is not an installer reaches the engine, which answers
// with its one warning.
constexpr const char* kOtherApplication = R"({"onlyPath":"/Applications/Other.app"})";
constexpr const char* kOtherApplicationWarning =
    "Permanent installer deletion is limited to an immediate Install macOS \u2026.app in /Applications. External "
    "drives, aliases, nested locations and other applications are not eligible.";

// A method with a byte limit, a valid request, and what its engine answers that request
// with here: fan control an inspection, the preflight its budget, download removal and
// the local-installer actions find no review, materialization refuses a package outside
// a download folder, the installer scan only looks directly in /Applications, a Rescue
// Drive start is accepted.
struct Limited {
  std::string selector;
  std::size_t limit;
  std::string tooLarge;
  json valid;
  std::string answer;
};

const std::vector<Limited>& limitedMethods() {
  static const std::vector<Limited> methods = {
      {"fanControl:withReply:", 16384, "Fan request is too large.",
       {{"action", "inspect"}, {"mode", "system"}, {"targets", json::object()}, {"thermalSource", "cpu"},
        {"thresholdCelsius", 75}, {"acknowledged", false}},
       "System controls cooling. No manual override has been requested."},
      {"startRescueDrive:withReply:", 262144, "Rescue Drive request is too large.", validRescueStart(),
       rescue::kStartAcceptedMessage},
      {"materializeInstallAssistantPackage:withReply:", 16384, "Preparation request is too large.",
       {{"packagePath", "/Users/Shared/Tidewarden/Downloads/InstallAssistant.pkg"},
        {"expectedVersion", "15.1"}, {"expectedBuild", "24B83"}},
       "Only a completed InstallAssistant.pkg in an immediate Tidewarden download workspace can be prepared. Path: "
       "/Users/Shared/Tidewarden/Downloads/InstallAssistant.pkg"},
      {"preflightInstallerPreparation:withReply:", 4096, "Preparation preflight request is too large.",
       {{"packageBytes", 15000000000}, {"packageAlreadyDownloaded", false}},
       "Working-space budget: 68.59 GB additional, 1.1 TB available. This is a conservative estimate, not a second "
       "network download."},
      {"removeInterruptedInstallerDownloads:withReply:", 32768, "Installer-cleanup request is too large.",
       {{"candidateIDs", {"A"}}, {"noInstallationInProgressAcknowledged", true}},
       "A selection expired or is no longer approved. Check Installer Downloads again."},
      {"scanPreparedInstallers:withReply:", 8192, "Installer inventory request is too large.",
       {{"onlyPath", "/Applications/Other.app"}}, kOtherApplicationWarning},
      {"deletePreparedInstaller:withReply:", 16384, "Installer deletion request is too large.",
       {{"candidateID", "A"}, {"permanentDeletionAcknowledged", true}, {"noInstallationInProgressAcknowledged", true}},
       "This installer review expired or was already used. Check Installer Storage again; no deletion was started."},
      {"releasePreparedInstallerImages:withReply:", 4096, "Installer-image release request is too large.",
       {{"candidateID", "A"}, {"releaseAcknowledged", true}, {"noInstallationInProgressAcknowledged", true}},
       "Installer image release did not complete. This image review expired or was already used. Check Installer "
       "Storage and review again. No installer files were deleted. No forced detach was attempted. Close installer or "
       "image windows, allow active operations to finish, then Check Installer Storage."},
  };
  return methods;
}

// The text a failure reply carries, whatever the method's shape.
std::string errorText(const std::string& selector, const json& reply) {
  if (selector == "rescueDriveStatus:withReply:" || selector == "cancelRescueDrive:withReply:") {
    return reply.at("errorMessage");
  }
  if (selector == "removeInterruptedInstallerDownloads:withReply:") return reply.at("issues").at(0);
  if (selector == "scanPreparedInstallers:withReply:") return reply.at("warnings").at(0);
  std::string message = reply.at("message");
  for (const std::string prefix : {"No deletion was started. ", "No image release was started. "}) {
    if (message.rfind(prefix, 0) == 0) return message.substr(prefix.size());
  }
  return message;
}

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest() {
    test.clock.wall = 812345678.5;
    // The system temporary folder, where the preparation storage gate lives.
    std::filesystem::create_directories(test.rootPath() + "/private/var/tmp");
    auto validator = std::make_shared<const ClientCodeValidator>(
        SigningIdentity{"com.ambergrove.Tidewarden.PrivilegedHelper", "TEAMONE", "/helper"},
        [](pid_t, const auto&) { return SigningIdentity{"com.ambergrove.Tidewarden", "TEAMONE", {}}; },
        HelperRuntimeStamp{kDigest, 7, 99});
    engines = std::make_shared<HelperEngines>(test.platform());
    delegate = std::make_unique<PrivilegedHelperListenerDelegate>(validator, engines);
    path = test.rootPath() + "/helper.sock";
    listener = platform::Listener::create(path);
    listener->setDelegate(delegate.get());
    listener->resume();
  }

  json callJson(const std::string& selector, const std::string& argument) {
    WireClient client(path);
    auto reply = client.call(selector, argument);
    EXPECT_TRUE(reply) << selector;
    return reply ? json::parse(*reply) : json();
  }

  testing::TestPlatform test;
  std::shared_ptr<HelperEngines> engines;
  std::unique_ptr<PrivilegedHelperListenerDelegate> delegate;
  std::string path;
  std::unique_ptr<platform::Listener> listener;
};

TEST_F(ServiceTest, RequestOfExactlyTheLimitIsDecodedAndOneByteMoreIsRefusedUnparsed) {
  for (const auto& method : limitedMethods()) {
    std::string atLimit = method.valid.dump();
    ASSERT_LE(atLimit.size(), method.limit);
    atLimit.append(method.limit - atLimit.size(), ' ');
    EXPECT_EQ(errorText(method.selector, callJson(method.selector, atLimit)), method.answer) << method.selector;

    // One byte more, and not even JSON: refused on size alone.
    EXPECT_EQ(errorText(method.selector, callJson(method.selector, std::string(method.limit + 1, '{'))),
              method.tooLarge)
        << method.selector;
  }
}

// A body that does not decode, and one over the transport's 16 MiB (answered from its
// selector alone, with the method's own too-large message or the transport's).
TEST_F(ServiceTest, UndecodableAndOversizedRequestsGetEachMethodsFailureShape) {
  const std::string bad = "{\"action\": ";
  const std::uint32_t oversized = wire::kMaxFrameBytes + 1;
  const std::string prefix{char(oversized >> 24), char(oversized >> 16), char(oversized >> 8), char(oversized)};
  auto check = [&](const std::string& selector, const std::function<json(const std::string&)>& expected) {
    json reply = callJson(selector, bad);
    const std::string text = errorText(selector, reply);
    EXPECT_FALSE(text.empty()) << selector;
    EXPECT_EQ(reply, expected(text)) << selector << ": " << reply.dump();

    std::string tooLarge = "Request is larger than the 16 MiB a call may carry. Nothing was done.";
    for (const auto& method : limitedMethods()) {
      if (method.selector == selector) tooLarge = method.tooLarge;
    }
    WireClient client(path);
    client.sendRaw(prefix + wire::encodeCall({9, selector, bad}).substr(4));
    const auto refused = client.next();
    ASSERT_TRUE(refused) << selector;
    EXPECT_EQ(refused->callId, 9u);
    EXPECT_EQ(json::parse(refused->payload), expected(tooLarge)) << selector;
    EXPECT_FALSE(client.next()) << selector;
  };
  const auto shape = [](json fixed, const char* key, const char* prefix = "") {
    return [fixed, key, prefix](const std::string& text) {
      json result = fixed;
      result[key] = prefix + text;
      return result;
    };
  };
  struct Case {
    std::string selector;
    std::function<json(const std::string&)> expected;
  };
  const std::vector<Case> cases = {
      {"fanControl:withReply:", shape({{"accepted", false}}, "message")},
      {"quarantineBackgroundItem:withReply:", shape({{"success", false}}, "message")},
      {"restoreQuarantineItem:withReply:", shape({{"success", false}}, "message")},
      {"startRescueDrive:withReply:", shape({{"accepted", false}}, "message")},
      {"rescueDriveStatus:withReply:",
       shape({{"operationID", ""}, {"phase", "failed"}, {"progressPercent", 0},
              {"message", "Invalid Rescue Drive status request."}, {"finished", true}, {"success", false}},
             "errorMessage")},
      {"cancelRescueDrive:withReply:",
       shape({{"operationID", ""}, {"phase", "failed"}, {"progressPercent", 0},
              {"message", "Invalid Rescue Drive cancellation request."}, {"finished", true}, {"success", false}},
             "errorMessage")},
      {"materializeInstallAssistantPackage:withReply:", shape({{"success", false}}, "message")},
      {"preflightInstallerPreparation:withReply:",
       shape({{"allowed", false}, {"estimatedAdditionalBytes", 0}}, "message")},
      {"removeInterruptedInstallerDownloads:withReply:",
       [](const std::string& text) {
         return json{{"removedIDs", json::array()}, {"removedAllocatedBytes", 0}, {"issues", {text}}};
       }},
      {"scanPreparedInstallers:withReply:",
       [](const std::string& text) {
         return json{{"checkedAt", 812345678.5}, {"items", json::array()}, {"warnings", {text}}, {"complete", false}};
       }},
      {"deletePreparedInstaller:withReply:",
       shape({{"deleted", false}, {"mutationStarted", false}}, "message", "No deletion was started. ")},
      {"releasePreparedInstallerImages:withReply:",
       shape({{"released", false}, {"detachedImageCount", 0}}, "message", "No image release was started. ")},
  };
  for (const auto& c : cases) check(c.selector, c.expected);
}

TEST_F(ServiceTest, MethodsWithoutArgumentAnswerTheirFixedReplies) {
  WireClient client(path);
  EXPECT_EQ(client.call("pingWithReply:"),
            "Tidewarden privileged helper ready \u2014 UID 0, EUID 0"
            " \u2014 installer-download-cleanup-v2 \u2014 installer-payload-identity-v1"
            " \u2014 installer-preparation-storage-v5 \u2014 rescue-destination-scope-v3"
            " \u2014 prepared-installer-permanent-removal-v3 \u2014 quietcove-private-repair-access-v1"
            " \u2014 fan-control-lease-v5-free-repair1 \u2014 helper-image-v1:" +
                kDigest + ":7:99");
  EXPECT_EQ(json::parse(*client.call("runInstallerPreparationSafetyCheckWithReply:")),
            (json{{"passed", false},
                  {"message",
                   "The development safety test has been removed. No test files were created. Use Download for "
                   "the normal installer flow."}}));
  // A Mac without any download or workspace: an empty, complete scan.
  json scan = json::parse(*client.call("scanInterruptedInstallerDownloadsWithReply:"));
  EXPECT_EQ(scan.at("items"), json::array());
  EXPECT_EQ(scan.at("protectedLocationsChecked"), true);
  EXPECT_EQ(scan.at("warnings"), json::array());
}

TEST_F(ServiceTest, PingShowsTheProcessUserIdsAndNoStampWhenNoneWasCaptured) {
  test.facts.uid = 501;
  test.facts.euid = 0;
  PrivilegedHelperService service(engines, std::nullopt);
  const std::string text = service.pingText();
  EXPECT_EQ(text.rfind("Tidewarden privileged helper ready \u2014 UID 501, EUID 0 \u2014 ", 0), 0u);
  EXPECT_TRUE(text.ends_with("fan-control-lease-v5-free-repair1")) << text;
}

TEST_F(ServiceTest, RescueDriveStartRequiresTheCurrentScopeProtocolAndAMatchingScope) {
  const std::string refused = "Destination-scope approval is missing or incompatible. No erase was started.";
  json request = validRescueStart();
  for (const char* protocol : {"rescue-destination-scope-v2", "rescue-destination-scope-v4", "Rescue-Destination-Scope-v3", ""}) {
    request["destinationProtocol"] = protocol;
    EXPECT_EQ(callJson("startRescueDrive:withReply:", request.dump()),
              (json{{"accepted", false}, {"message", refused}}))
        << protocol;
  }
  request = validRescueStart();
  request["confirmedScope"] = "wholeDisk";
  EXPECT_EQ(callJson("startRescueDrive:withReply:", request.dump()).at("message"), refused);
  // Past the service, the coordinator takes only a row that may be chosen.
  const std::string fresh = "A fresh, explicitly scoped destination approval is required.";
  request = validRescueStart();
  request["destination"]["unavailableReason"] = "Less than 16 GB capacity.";
  EXPECT_EQ(callJson("startRescueDrive:withReply:", request.dump()).at("message"), fresh);
  request = validRescueStart();
  request["destination"]["scope"] = request["confirmedScope"] = "sharedAPFSVolume";
  EXPECT_EQ(callJson("startRescueDrive:withReply:", request.dump()).at("message"), fresh);
  EXPECT_EQ(callJson("startRescueDrive:withReply:", validRescueStart().dump()).at("message"),
            rescue::kStartAcceptedMessage);
}

// The local-installer guard: a running creation, other local-installer work, or the
// preparation gate held elsewhere refuses a scan, a deletion and an image release, each
// in its own reply shape; once the holder lets go the operation reaches its engine.
TEST_F(ServiceTest, LocalInstallerWorkIsRefusedWhileACreationOrOtherWorkRunsOrTheGateIsHeld) {
  const std::string gateBusy =
      "An installer preparation, safety check or preparation cleanup is still running. No second operation was "
      "started.";
  auto& coordinator = engines->rescueDriveCoordinator;
  const auto setRunning = [&](bool running) {
    std::lock_guard lock(coordinator.lock);
    coordinator.operations["DONE"].finished = true;
    coordinator.operations["RUNNING"].finished = !running;
  };
  using Release = std::function<void()>;
  struct Case {
    std::string busy;
    std::function<Release()> hold;
  };
  const std::vector<Case> cases = {
      {"Rescue Drive creation is still running. The source installer cannot be removed yet.",
       [&]() -> Release {
         setRunning(true);
         return [&] { setRunning(false); };
       }},
      {"An installer operation is busy. Wait for it to finish before checking or deleting local installers.",
       [&]() -> Release {
         coordinator.localInstallerWorkRunning = true;
         return [&] { coordinator.localInstallerWorkRunning = false; };
       }},
      {gateBusy, [&]() -> Release {
         auto gate = std::make_shared<storage::PreparationStorageGate>(storage::PreparationStorageGate::open(test.platform()));
         return [gate]() mutable { gate.reset(); };
       }},
  };
  const json remove{{"candidateID", "A"}, {"permanentDeletionAcknowledged", true},
                    {"noInstallationInProgressAcknowledged", true}};
  const json release{{"candidateID", "A"}, {"releaseAcknowledged", true}, {"noInstallationInProgressAcknowledged", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.busy);
    Release held = c.hold();
    EXPECT_EQ(callJson("scanPreparedInstallers:withReply:", "{}"),
              (json{{"checkedAt", 812345678.5}, {"items", json::array()}, {"warnings", {c.busy}}, {"complete", false}}));
    EXPECT_EQ(callJson("deletePreparedInstaller:withReply:", remove.dump()).at("message"),
              "No deletion was started. " + c.busy);
    EXPECT_EQ(callJson("releasePreparedInstallerImages:withReply:", release.dump()),
              (json{{"released", false}, {"detachedImageCount", 0}, {"message", "No image release was started. " + c.busy}}));
    if (c.busy == gateBusy) {
      EXPECT_EQ(callJson("preflightInstallerPreparation:withReply:",
                         R"({"packageBytes":5000000000,"packageAlreadyDownloaded":true})"),
                (json{{"allowed", false}, {"message", gateBusy}, {"estimatedAdditionalBytes", 23589934592}}));
      // The local-installer mark was cleared when the gate refused.
      EXPECT_FALSE(coordinator.localInstallerWorkRunning);
    }
    held();
    EXPECT_EQ(callJson("scanPreparedInstallers:withReply:", kOtherApplication).at("warnings"),
              json::array({kOtherApplicationWarning}));
  }
  test.freeSpace.bytes = 23589934592;
  EXPECT_EQ(callJson("preflightInstallerPreparation:withReply:",
                     R"({"packageBytes":5000000000,"packageAlreadyDownloaded":true})"),
            (json{{"allowed", true},
                  {"message",
                   "Working-space budget: 23.59 GB additional, 23.59 GB available. This is a conservative estimate, "
                   "not a second network download."},
                  {"availableBytes", 23589934592},
                  {"estimatedAdditionalBytes", 23589934592}}));
}

TEST_F(ServiceTest, EachConnectionGetsItsOwnServiceWithTheSameStamp) {
  class Capture final : public platform::IncomingConnection {
   public:
    pid_t processIdentifier() const override { return ::getpid(); }
    void setExportedInterface(platform::ExportedInterface methods) override { count = methods.size(); }
    void setExportedObject(std::shared_ptr<platform::ExportedObject> object) override {
      service = std::dynamic_pointer_cast<PrivilegedHelperService>(object);
    }
    void setInvalidationHandler(std::function<void()>) override {}
    void setInterruptionHandler(std::function<void()>) override {}
    void resume() override { resumed = true; }
    std::size_t count = 0;
    std::shared_ptr<PrivilegedHelperService> service;
    bool resumed = false;
  } first, second;
  ASSERT_TRUE(delegate->shouldAcceptNewConnection(first));
  ASSERT_TRUE(delegate->shouldAcceptNewConnection(second));
  ASSERT_TRUE(first.service && second.service);
  EXPECT_NE(first.service, second.service);
  EXPECT_EQ(first.service->runtimeStamp(), second.service->runtimeStamp());
  EXPECT_EQ(first.count, 15u);
  EXPECT_TRUE(first.resumed && second.resumed);

  WireClient a(path), b(path);
  EXPECT_EQ(a.call("pingWithReply:"), b.call("pingWithReply:"));
}

TEST(InstallerHelperReplyTest, UnencodableResponseIsSentAsAnEmptyBlob) {
  std::vector<std::string> sent;
  auto reply = InstallerHelperReply::make([&](std::string data) { sent.push_back(data); });
  sendJson(*reply, json{{"value", std::numeric_limits<double>::quiet_NaN()}});
  sendJson(*reply, json{{"value", 1}});
  EXPECT_EQ(sent, std::vector<std::string>{""});
}

}  // namespace
}  // namespace tidewarden::helper
