// The protocol's fifteen methods: byte limits, decoding, where the work runs and the
// failure reply of each method.
#include "helper/privileged_helper_service.h"

#include <charconv>
#include <exception>
#include <functional>
#include <map>

#include "fan/fan_control_error.h"
#include "fan/fan_messages.h"
#include "helper/installer_helper_reply.h"
#include "helper/local_installer_guard.h"
#include "installers/installers_messages.h"
#include "materialize/materialize_flow.h"
#include "materialize/materialize_messages.h"
#include "platform/clock.h"
#include "platform/json_codec.h"
#include "platform/process_facts.h"
#include "quarantine/background_quarantine_engine.h"
#include "quarantine/quarantine_messages.h"
#include "rescue/rescue_destination_approval.h"
#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_messages.h"
#include "storage/installer_safety_error.h"
#include "storage/preparation_preflight.h"
#include "storage/storage_messages.h"

namespace tidewarden::helper {

namespace json = platform::json;
namespace {

using Failure = std::function<nlohmann::json(const std::string& errorText)>;

constexpr const char* kSafetyCheckRemoved =
    "The development safety test has been removed. No test files were created. Use Download for the normal "
    "installer flow.";
// Requests over a method's byte limit.
constexpr const char* kFanTooLarge = "Fan request is too large.";
constexpr const char* kRescueTooLarge = "Rescue Drive request is too large.";
constexpr const char* kMaterializeTooLarge = "Preparation request is too large.";
constexpr const char* kPreflightTooLarge = "Preparation preflight request is too large.";
constexpr const char* kRemoveInterruptedTooLarge = "Installer-cleanup request is too large.";
constexpr const char* kScanPreparedTooLarge = "Installer inventory request is too large.";
constexpr const char* kDeletePreparedTooLarge = "Installer deletion request is too large.";
constexpr const char* kReleaseImagesTooLarge = "Installer-image release request is too large.";
constexpr const char* kInvalidStatus = "Invalid Rescue Drive status request.";
constexpr const char* kInvalidCancellation = "Invalid Rescue Drive cancellation request.";
// A request over the transport's own limit, to a method without a smaller one.
constexpr const char* kOverTransportLimit = "Request is larger than the 16 MiB a call may carry. Nothing was done.";

// Steps 1-3 of every data method: the byte limit, then a fresh decode. On refusal the
// method's failure reply is sent here and nothing is returned.
template <class Request>
std::optional<Request> decodeRequest(const std::string& data, std::optional<std::size_t> limit,
                                     const char* tooLargeMessage, InstallerHelperReply& reply,
                                     const Failure& failure) {
  if (limit && data.size() > *limit) {
    sendJson(reply, failure(tooLargeMessage));
    return std::nullopt;
  }
  try {
    return json::decodeDocument<Request>(data);
  } catch (const std::exception& error) {
    sendJson(reply, failure(error.what()));
    return std::nullopt;
  }
}

// Runs an engine step and answers with its response, or with the failure reply
// built from whatever it threw.
void answer(InstallerHelperReply& reply, const Failure& failure, const std::function<nlohmann::json()>& work) {
  nlohmann::json response;
  try {
    response = work();
  } catch (const std::exception& error) {
    response = failure(error.what());
  }
  sendJson(reply, response);
}

nlohmann::json fanControlFailure(const std::string& text) {
  fan::FanControlReply reply;
  reply.accepted = false;
  reply.message = text;
  return json::encodeValue(reply);
}

nlohmann::json actionFailure(const std::string& text) {
  return json::encodeValue(quarantine::PrivilegedActionResponse{false, text, {}});
}

nlohmann::json startRescueDriveFailure(const std::string& text) {
  rescue::RescueDriveStartResponse response;
  response.accepted = false;
  response.message = text;
  return json::encodeValue(response);
}

Failure rescueOperationFailure(const char* message) {
  return [message](const std::string& text) {
    rescue::RescueDriveStatusResponse response;
    response.operationID = "";
    response.phase = rescue::RescueDrivePhase::failed;
    response.progressPercent = 0;
    response.message = message;
    response.finished = true;
    response.success = false;
    response.errorMessage = text;
    return json::encodeValue(response);
  };
}

nlohmann::json materializeFailure(const std::string& text) {
  materialize::MaterializeInstallAssistantResponse response;
  response.success = false;
  response.message = text;
  return json::encodeValue(response);
}

nlohmann::json preflightFailure(const std::string& text) {
  storage::InstallerPreparationPreflightResponse response;
  response.allowed = false;
  response.message = text;
  response.estimatedAdditionalBytes = 0;
  return json::encodeValue(response);
}

nlohmann::json removeInterruptedFailure(const std::string& text) {
  storage::InterruptedInstallerRemovalResponse response;
  response.removedAllocatedBytes = 0;
  response.issues = {text};
  return json::encodeValue(response);
}

Failure scanPreparedFailure(platform::Clock& clock) {
  return [&clock](const std::string& text) {
    installers::PreparedInstallerScanResponse response;
    response.checkedAt = platform::json::Date{clock.now()};
    response.warnings = {text};
    response.complete = false;
    return json::encodeValue(response);
  };
}

nlohmann::json deletePreparedFailure(const std::string& text) {
  installers::PreparedInstallerDeleteResponse response;
  response.deleted = false;
  response.mutationStarted = false;
  response.message = "No deletion was started. " + text;
  return json::encodeValue(response);
}

nlohmann::json releaseImagesFailure(const std::string& text) {
  installers::PreparedInstallerImageReleaseResponse response;
  response.released = false;
  response.detachedImageCount = 0;
  response.message = "No image release was started. " + text;
  return json::encodeValue(response);
}

// Stands in for an engine that this helper build does not contain: it refuses with the
// subsystem's own error, which the method turns into its failure reply.
template <class Error>
[[noreturn]] nlohmann::json notAvailable() {
  throw Error(kCapabilityNotAvailable);
}

// The three local-installer methods: on the utility queue, inside the guard.
void answerUnderLocalInstallerGuard(HelperEngines& engines, std::shared_ptr<InstallerHelperReply> reply,
                                    Failure failure, std::function<nlohmann::json()> work) {
  engines.onUtilityQueue([&engines, reply, failure, work = std::move(work)] {
    answer(*reply, failure, [&engines, &work] {
      return runUnderLocalInstallerGuard(engines.rescueDriveCoordinator, engines.platform, work);
    });
  });
}

}  // namespace

void sendJson(InstallerHelperReply& reply, const nlohmann::json& response) {
  reply.send(platform::json::encode(response).value_or(std::string()));
}

PrivilegedHelperService::PrivilegedHelperService(std::shared_ptr<HelperEngines> engines,
                                                 std::optional<HelperRuntimeStamp> runtimeStamp)
    : engines_(std::move(engines)), runtimeStamp_(std::move(runtimeStamp)) {
  for (const char* tag : kCapabilityTags) pingTail_ += std::string(" \u2014 ") + tag;
  if (runtimeStamp_) pingTail_ += " \u2014 " + runtimeStamp_->text();
}

platform::ExportedInterface PrivilegedHelperService::exportedInterface() {
  // Lanes: the methods of one engine queue share one, so that however long a backlog on
  // one engine grows, a call to another never waits for it. The short methods that must
  // stay on time (fan control, Rescue Drive status and cancel, the ping) each have theirs.
  return {
      {"fanControl:withReply:", true, "fan"},
      {"pingWithReply:", false, "immediate"},
      {"quarantineBackgroundItem:withReply:", true, "quarantine"},
      {"restoreQuarantineItem:withReply:", true, "quarantine"},
      {"startRescueDrive:withReply:", true, "rescue-start"},
      {"rescueDriveStatus:withReply:", true, "rescue-status"},
      {"cancelRescueDrive:withReply:", true, "rescue-status"},
      {"materializeInstallAssistantPackage:withReply:", true, "preparation"},
      {"preflightInstallerPreparation:withReply:", true, "preparation"},
      {"runInstallerPreparationSafetyCheckWithReply:", false, "immediate"},
      {"scanInterruptedInstallerDownloadsWithReply:", false, "downloads"},
      {"removeInterruptedInstallerDownloads:withReply:", true, "downloads"},
      {"scanPreparedInstallers:withReply:", true, "local-installers"},
      {"deletePreparedInstaller:withReply:", true, "local-installers"},
      {"releasePreparedInstallerImages:withReply:", true, "local-installers"},
  };
}

void PrivilegedHelperService::invoke(const std::string& selector, std::optional<std::string> argument, Reply reply) {
  using Service = PrivilegedHelperService;
  using DataMethod = void (Service::*)(std::string, Reply);
  using PlainMethod = void (Service::*)(Reply);
  static const std::map<std::string, DataMethod> dataMethods = {
      {"fanControl:withReply:", &Service::fanControl},
      {"quarantineBackgroundItem:withReply:", &Service::quarantineBackgroundItem},
      {"restoreQuarantineItem:withReply:", &Service::restoreQuarantineItem},
      {"startRescueDrive:withReply:", &Service::startRescueDrive},
      {"rescueDriveStatus:withReply:", &Service::rescueDriveStatus},
      {"cancelRescueDrive:withReply:", &Service::cancelRescueDrive},
      {"materializeInstallAssistantPackage:withReply:", &Service::materializeInstallAssistantPackage},
      {"preflightInstallerPreparation:withReply:", &Service::preflightInstallerPreparation},
      {"removeInterruptedInstallerDownloads:withReply:", &Service::removeInterruptedInstallerDownloads},
      {"scanPreparedInstallers:withReply:", &Service::scanPreparedInstallers},
      {"deletePreparedInstaller:withReply:", &Service::deletePreparedInstaller},
      {"releasePreparedInstallerImages:withReply:", &Service::releasePreparedInstallerImages},
  };
  static const std::map<std::string, PlainMethod> plainMethods = {
      {"pingWithReply:", &Service::ping},
      {"runInstallerPreparationSafetyCheckWithReply:", &Service::runInstallerPreparationSafetyCheck},
      {"scanInterruptedInstallerDownloadsWithReply:", &Service::scanInterruptedInstallerDownloads},
  };
  // The transport only delivers selectors of the exported interface with the right
  // argument shape; anything else is a bug in the caller of this method.
  if (argument) {
    const auto data = dataMethods.find(selector);
    if (data == dataMethods.end()) std::abort();
    (this->*data->second)(std::move(*argument), std::move(reply));
  } else {
    const auto plain = plainMethods.find(selector);
    if (plain == plainMethods.end()) std::abort();
    (this->*plain->second)(std::move(reply));
  }
}

void PrivilegedHelperService::refuseOversized(const std::string& selector, Reply replyBlock) {
  // Each method's failure shape: its own limit's message, or the transport's.
  const std::map<std::string, std::function<nlohmann::json()>> refusals = {
      {"fanControl:withReply:", [] { return fanControlFailure(kFanTooLarge); }},
      {"quarantineBackgroundItem:withReply:", [] { return actionFailure(kOverTransportLimit); }},
      {"restoreQuarantineItem:withReply:", [] { return actionFailure(kOverTransportLimit); }},
      {"startRescueDrive:withReply:", [] { return startRescueDriveFailure(kRescueTooLarge); }},
      {"rescueDriveStatus:withReply:", [] { return rescueOperationFailure(kInvalidStatus)(kOverTransportLimit); }},
      {"cancelRescueDrive:withReply:",
       [] { return rescueOperationFailure(kInvalidCancellation)(kOverTransportLimit); }},
      {"materializeInstallAssistantPackage:withReply:", [] { return materializeFailure(kMaterializeTooLarge); }},
      {"preflightInstallerPreparation:withReply:", [] { return preflightFailure(kPreflightTooLarge); }},
      {"removeInterruptedInstallerDownloads:withReply:",
       [] { return removeInterruptedFailure(kRemoveInterruptedTooLarge); }},
      {"scanPreparedInstallers:withReply:",
       [this] { return scanPreparedFailure(engines_->platform.clock)(kScanPreparedTooLarge); }},
      {"deletePreparedInstaller:withReply:", [] { return deletePreparedFailure(kDeletePreparedTooLarge); }},
      {"releasePreparedInstallerImages:withReply:", [] { return releaseImagesFailure(kReleaseImagesTooLarge); }},
  };
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  // The transport offers only methods that take an argument.
  const auto refusal = refusals.find(selector);
  if (refusal == refusals.end()) std::abort();
  sendJson(*reply, refusal->second());
}

std::string PrivilegedHelperService::pingText() const {
  // The user ids are asked for at every ping (the simulated Mac can change them); the
  // rest of the line is fixed for the connection's life.
  const platform::ProcessFacts::UserIds ids = engines_->platform.processFacts.userIds();
  char uid[16];
  char euid[16];
  const std::string_view uidText(uid, std::to_chars(uid, uid + sizeof uid, ids.real).ptr - uid);
  const std::string_view euidText(euid, std::to_chars(euid, euid + sizeof euid, ids.effective).ptr - euid);
  constexpr std::string_view kHead = "Tidewarden privileged helper ready \u2014 UID ";
  constexpr std::string_view kEffective = ", EUID ";
  std::string text;
  text.reserve(kHead.size() + uidText.size() + kEffective.size() + euidText.size() + pingTail_.size());
  text.append(kHead).append(uidText).append(kEffective).append(euidText).append(pingTail_);
  return text;
}

void PrivilegedHelperService::ping(Reply reply) { reply(pingText()); }

void PrivilegedHelperService::runInstallerPreparationSafetyCheck(Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  storage::InstallerPreparationSafetyResponse response;
  response.passed = false;
  response.message = kSafetyCheckRemoved;
  sendJson(*reply, json::encodeValue(response));
}

void PrivilegedHelperService::fanControl(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  auto request = decodeRequest<fan::FanControlRequest>(data, kFanControlRequestLimit, kFanTooLarge,
                                                       *reply, fanControlFailure);
  if (!request) return;
  // The engines outlive counted work: their destructor waits for it.
  engines_->onFanQueue([reply, engines = engines_.get(), request = std::move(*request)] {
    answer(*reply, fanControlFailure,
           [&] { return json::encodeValue(engines->fanControlCoordinator.perform(request)); });
  });
}

void PrivilegedHelperService::quarantineBackgroundItem(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  auto request = decodeRequest<quarantine::BackgroundQuarantineRequest>(data, std::nullopt, "", *reply, actionFailure);
  if (!request) return;
  // Synchronously on the calling thread, as the application expects.
  answer(*reply, actionFailure, [&] {
    engines_->quarantineRecovery.awaitRecovery();
    const auto outcome = quarantine::BackgroundQuarantineEngine(engines_->platform).quarantine(*request);
    return json::encodeValue(quarantine::PrivilegedActionResponse{true, outcome.message(), outcome.id});
  });
}

void PrivilegedHelperService::restoreQuarantineItem(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  auto request = decodeRequest<quarantine::BackgroundRestoreRequest>(data, std::nullopt, "", *reply, actionFailure);
  if (!request) return;
  answer(*reply, actionFailure, [&] {
    engines_->quarantineRecovery.awaitRecovery();
    const std::string message = quarantine::BackgroundQuarantineEngine(engines_->platform).restore(*request);
    return json::encodeValue(quarantine::PrivilegedActionResponse{true, message, request->quarantineID});
  });
}

void PrivilegedHelperService::startRescueDrive(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  auto request = decodeRequest<rescue::RescueDriveStartRequest>(
      data, kStartRescueDriveRequestLimit, kRescueTooLarge, *reply, startRescueDriveFailure);
  if (!request) return;
  answer(*reply, startRescueDriveFailure, [&]() -> nlohmann::json {
    rescue::acceptStartRequestAtService(*request);
    return json::encodeValue(engines_->rescueDriveCoordinator.start(*request));
  });
}

void PrivilegedHelperService::rescueDriveStatus(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  const Failure failure = rescueOperationFailure(kInvalidStatus);
  auto request = decodeRequest<rescue::RescueDriveOperationRequest>(data, std::nullopt, "", *reply, failure);
  if (!request) return;
  answer(*reply, failure,
         [&] { return json::encodeValue(engines_->rescueDriveCoordinator.status(request->operationID)); });
}

void PrivilegedHelperService::cancelRescueDrive(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  const Failure failure = rescueOperationFailure(kInvalidCancellation);
  auto request = decodeRequest<rescue::RescueDriveOperationRequest>(data, std::nullopt, "", *reply, failure);
  if (!request) return;
  answer(*reply, failure,
         [&] { return json::encodeValue(engines_->rescueDriveCoordinator.cancel(request->operationID)); });
}

void PrivilegedHelperService::materializeInstallAssistantPackage(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  auto request = decodeRequest<materialize::MaterializeInstallAssistantRequest>(
      data, kMaterializeRequestLimit, kMaterializeTooLarge, *reply, materializeFailure);
  if (!request) return;
  engines_->onUtilityQueue([reply, engines = engines_.get(), request = std::move(*request)] {
    answer(*reply, materializeFailure, [&] {
      return json::encodeValue(materialize::materializeInstallAssistantPackage(engines->platform, request));
    });
  });
}

void PrivilegedHelperService::preflightInstallerPreparation(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  auto request = decodeRequest<storage::InstallerPreparationPreflightRequest>(
      data, kPreflightRequestLimit, kPreflightTooLarge, *reply, preflightFailure);
  if (!request) return;
  engines_->onUtilityQueue([reply, engines = engines_.get(), request = std::move(*request)] {
    answer(*reply, preflightFailure, [&] {
      return json::encodeValue(storage::preflightInstallerPreparation(engines->platform, request));
    });
  });
}

void PrivilegedHelperService::scanInterruptedInstallerDownloads(Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  engines_->onInterruptedInstallersQueue([reply, engines = engines_.get()] {
    // The scan never fails as a whole: every problem is a warning or an explanation.
    sendJson(*reply, json::encodeValue(engines->interruptedInstallerEngine.scanInterruptedInstallerDownloads()));
  });
}

void PrivilegedHelperService::removeInterruptedInstallerDownloads(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  auto request = decodeRequest<storage::InterruptedInstallerRemovalRequest>(
      data, kRemoveInterruptedRequestLimit, kRemoveInterruptedTooLarge, *reply,
      removeInterruptedFailure);
  if (!request) return;
  engines_->onInterruptedInstallersQueue([reply, engines = engines_.get(), request = std::move(*request)] {
    answer(*reply, removeInterruptedFailure, [&] {
      return json::encodeValue(engines->interruptedInstallerEngine.removeInterruptedInstallerDownloads(request));
    });
  });
}

void PrivilegedHelperService::scanPreparedInstallers(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  const Failure failure = scanPreparedFailure(engines_->platform.clock);
  auto request = decodeRequest<installers::PreparedInstallerScanRequest>(
      data, kScanPreparedRequestLimit, kScanPreparedTooLarge, *reply, failure);
  if (!request) return;
  answerUnderLocalInstallerGuard(*engines_, reply, failure, [engines = engines_.get(), request = std::move(*request)] {
    return json::encodeValue(engines->preparedInstallerEngine.scan(request));
  });
}

void PrivilegedHelperService::deletePreparedInstaller(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  auto request = decodeRequest<installers::PreparedInstallerDeleteRequest>(
      data, kDeletePreparedRequestLimit, kDeletePreparedTooLarge, *reply, deletePreparedFailure);
  if (!request) return;
  answerUnderLocalInstallerGuard(*engines_, reply, deletePreparedFailure,
                                 [engines = engines_.get(), request = std::move(*request)] {
                                   return json::encodeValue(engines->preparedInstallerEngine.deleteInstaller(request));
                                 });
}

void PrivilegedHelperService::releasePreparedInstallerImages(std::string data, Reply replyBlock) {
  auto reply = InstallerHelperReply::make(std::move(replyBlock));
  auto request = decodeRequest<installers::PreparedInstallerImageReleaseRequest>(
      data, kReleaseImagesRequestLimit, kReleaseImagesTooLarge, *reply,
      releaseImagesFailure);
  if (!request) return;
  answerUnderLocalInstallerGuard(*engines_, reply, releaseImagesFailure,
                                 [engines = engines_.get(), request = std::move(*request)] {
                                   return json::encodeValue(engines->preparedInstallerEngine.releaseImages(request));
                                 });
}

}  // namespace tidewarden::helper
