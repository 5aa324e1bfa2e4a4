// Fuzz target: the request decoding of the helper's fifteen methods, through invoke(), the
// entry the listener uses.
//
// Input: byte 0 picks the method (in exportedInterface() order, modulo its size); the
// rest is the argument, or ignored for a method without one (invoked with nullopt).
// Every call must be answered exactly once, from whatever queue, with a reply of the
// method's shape: a JSON document that decodes as the method's reply type, or for the
// ping its UTF-8 line. A request over the method's limit is refused on size alone.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "fan/fan_messages.h"
#include "fuzz/fuzz_check.h"
#include "helper/helper_engines.h"
#include "helper/privileged_helper_service.h"
#include "installers/installers_messages.h"
#include "materialize/materialize_messages.h"
#include "platform/json_codec.h"
#include "quarantine/quarantine_messages.h"
#include "rescue/rescue_messages.h"
#include "storage/storage_messages.h"
#include "support/test_platform.h"

namespace {

namespace helper = tidewarden::helper;
namespace json = tidewarden::platform::json;
using tidewarden::fuzz::printable;

// Generous: queued work normally answers within microseconds.
constexpr auto kReplyTimeout = std::chrono::seconds(30);

struct Method {
  std::function<void(const std::string& reply)> checkShape;
  std::optional<std::size_t> limit;  // largest accepted request, when the method has one
  const char* tooLarge = "";
};

template <class Reply>
std::function<void(const std::string&)> decodesAs(const char* typeName) {
  return [typeName](const std::string& reply) {
    try {
      json::decodeDocument<Reply>(reply);
    } catch (const json::DecodeError& error) {
      tidewarden::fuzz::fail(__FILE__, __LINE__, typeName,
                             std::string("the reply is not a ") + typeName + ": " + error.what() + "\n  reply: " +
                                 printable(reply));
    }
  };
}

const std::map<std::string, Method>& methods() {
  static const std::map<std::string, Method> table = {
      {"fanControl:withReply:",
       {decodesAs<tidewarden::fan::FanControlReply>("FanControlReply"), helper::kFanControlRequestLimit,
        "Fan request is too large."}},
      {"pingWithReply:", {nullptr, std::nullopt}},
      {"quarantineBackgroundItem:withReply:",
       {decodesAs<tidewarden::quarantine::PrivilegedActionResponse>("PrivilegedActionResponse"), std::nullopt}},
      {"restoreQuarantineItem:withReply:",
       {decodesAs<tidewarden::quarantine::PrivilegedActionResponse>("PrivilegedActionResponse"), std::nullopt}},
      {"startRescueDrive:withReply:",
       {decodesAs<tidewarden::rescue::RescueDriveStartResponse>("RescueDriveStartResponse"),
        helper::kStartRescueDriveRequestLimit, "Rescue Drive request is too large."}},
      {"rescueDriveStatus:withReply:",
       {decodesAs<tidewarden::rescue::RescueDriveStatusResponse>("RescueDriveStatusResponse"), std::nullopt}},
      {"cancelRescueDrive:withReply:",
       {decodesAs<tidewarden::rescue::RescueDriveStatusResponse>("RescueDriveStatusResponse"), std::nullopt}},
      {"materializeInstallAssistantPackage:withReply:",
       {decodesAs<tidewarden::materialize::MaterializeInstallAssistantResponse>(
            "MaterializeInstallAssistantResponse"),
        helper::kMaterializeRequestLimit, "Preparation request is too large."}},
      {"preflightInstallerPreparation:withReply:",
       {decodesAs<tidewarden::storage::InstallerPreparationPreflightResponse>(
            "InstallerPreparationPreflightResponse"),
        helper::kPreflightRequestLimit, "Preparation preflight request is too large."}},
      {"runInstallerPreparationSafetyCheckWithReply:",
       {decodesAs<tidewarden::storage::InstallerPreparationSafetyResponse>("InstallerPreparationSafetyResponse"),
        std::nullopt}},
      {"scanInterruptedInstallerDownloadsWithReply:",
       {decodesAs<tidewarden::storage::InterruptedInstallerScanResponse>("InterruptedInstallerScanResponse"),
        std::nullopt}},
      {"removeInterruptedInstallerDownloads:withReply:",
       {decodesAs<tidewarden::storage::InterruptedInstallerRemovalResponse>("InterruptedInstallerRemovalResponse"),
        helper::kRemoveInterruptedRequestLimit, "Installer-cleanup request is too large."}},
      {"scanPreparedInstallers:withReply:",
       {decodesAs<tidewarden::installers::PreparedInstallerScanResponse>("PreparedInstallerScanResponse"),
        helper::kScanPreparedRequestLimit, "Installer inventory request is too large."}},
      {"deletePreparedInstaller:withReply:",
       {decodesAs<tidewarden::installers::PreparedInstallerDeleteResponse>("PreparedInstallerDeleteResponse"),
        helper::kDeletePreparedRequestLimit, "Installer deletion request is too large."}},
      {"releasePreparedInstallerImages:withReply:",
       {decodesAs<tidewarden::installers::PreparedInstallerImageReleaseResponse>(
            "PreparedInstallerImageReleaseResponse"),
        helper::kReleaseImagesRequestLimit, "Installer-image release request is too large."}},
  };
  return table;
}

// One service on a test platform for the whole run, as a connection of the helper gets.
struct Fixture {
  Fixture() {
    // Every exported method must have its reply shape here, and nothing else may.
    for (const auto& method : interface) {
      FUZZ_CHECK(methods().count(method.selector) == 1, "no reply shape for " + method.selector);
    }
    FUZZ_CHECK(methods().size() == interface.size() && interface.size() == 15,
               "the exported interface and the reply shapes differ");
  }
  tidewarden::testing::TestPlatform test;
  std::shared_ptr<helper::HelperEngines> engines = std::make_shared<helper::HelperEngines>(test.platform());
  helper::PrivilegedHelperService service{engines, helper::HelperRuntimeStamp{std::string(64, 'c'), 7, 99}};
  const tidewarden::platform::ExportedInterface interface = helper::PrivilegedHelperService::exportedInterface();
};

Fixture& fixture() {
  static Fixture instance;
  return instance;
}

// What one call received. The token is owned by the reply block alone: once it is gone
// nobody can answer any more, so the count is final.
struct Received {
  std::mutex mutex;
  std::condition_variable changed;
  int replies = 0;
  std::string reply;
  bool blockReleased = false;
};

struct ReleaseToken {
  explicit ReleaseToken(std::shared_ptr<Received> r) : received(std::move(r)) {}
  ReleaseToken(const ReleaseToken&) = delete;
  ReleaseToken& operator=(const ReleaseToken&) = delete;
  std::shared_ptr<Received> received;
  ~ReleaseToken() {
    std::lock_guard lock(received->mutex);
    received->blockReleased = true;
    received->changed.notify_all();
  }
};

// Invokes and waits until the reply block has been answered and let go.
std::string invokeOnce(const std::string& selector, std::optional<std::string> argument) {
  auto received = std::make_shared<Received>();
  auto token = std::make_shared<ReleaseToken>(received);
  fixture().service.invoke(selector, std::move(argument), [received, token](std::string reply) {
    std::lock_guard lock(received->mutex);
    ++received->replies;
    received->reply = std::move(reply);
    received->changed.notify_all();
  });
  token.reset();
  std::unique_lock lock(received->mutex);
  const bool finished = received->changed.wait_for(lock, kReplyTimeout, [&] { return received->blockReleased; });
  FUZZ_CHECK(finished, selector + " kept its reply block for 30 s (" + std::to_string(received->replies) +
                           " replies so far)");
  FUZZ_CHECK(received->replies == 1, selector + " answered " + std::to_string(received->replies) + " times");
  return received->reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Fixture& f = fixture();
  const auto& exported = f.interface[data[0] % f.interface.size()];
  const Method& method = methods().at(exported.selector);
  std::optional<std::string> argument;
  if (exported.takesArgument) argument.emplace(reinterpret_cast<const char*>(data + 1), size - 1);
  const bool overLimit = argument && method.limit && argument->size() > *method.limit;

  const std::string reply = invokeOnce(exported.selector, argument);

  if (!method.checkShape) {
    FUZZ_CHECK(reply == f.service.pingText(), "the ping answered something else: " + printable(reply));
    try {
      (void)nlohmann::json(reply).dump();  // throws on invalid UTF-8
    } catch (const nlohmann::json::exception&) {
      FUZZ_CHECK(false, "the ping's reply is not UTF-8: " + printable(reply));
    }
    return 0;
  }
  method.checkShape(reply);
  // Client text may quote the sentence back, so only this direction is certain.
  if (overLimit) {
    FUZZ_CHECK(reply.find(method.tooLarge) != std::string::npos,
               exported.selector + ": a request of " + std::to_string(argument->size()) + " bytes (limit " +
                   std::to_string(*method.limit) + ") was not refused on size: " + printable(reply));
  }
  return 0;
}
