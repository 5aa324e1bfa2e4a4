// The object exported to each admitted connection: the protocol's fifteen methods,
// their byte limits and the JSON envelope with its failure replies.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "helper/helper_engines.h"
#include "helper/helper_runtime_stamp.h"
#include "platform/ipc_listener.h"

namespace tidewarden::helper {

// Answer of every method whose engine this helper build does not contain yet.
inline constexpr const char* kCapabilityNotAvailable = "This capability is not available in this helper build yet.";

// The capability tags the ping reports, in order.
inline constexpr const char* kCapabilityTags[] = {
    "installer-download-cleanup-v2",          "installer-payload-identity-v1",
    "installer-preparation-storage-v5",       "rescue-destination-scope-v3",
    "prepared-installer-permanent-removal-v3", "quietcove-private-repair-access-v1",
    "fan-control-lease-v5-free-repair1",
};
inline constexpr const char* kRescueDestinationProtocol = "rescue-destination-scope-v3";

// Largest accepted request per method, in bytes.
inline constexpr std::size_t kFanControlRequestLimit = 16384;
inline constexpr std::size_t kStartRescueDriveRequestLimit = 262144;
inline constexpr std::size_t kMaterializeRequestLimit = 16384;
inline constexpr std::size_t kPreflightRequestLimit = 4096;
inline constexpr std::size_t kRemoveInterruptedRequestLimit = 32768;
inline constexpr std::size_t kScanPreparedRequestLimit = 8192;
inline constexpr std::size_t kDeletePreparedRequestLimit = 16384;
inline constexpr std::size_t kReleaseImagesRequestLimit = 4096;

// Stateless apart from its copy of the runtime stamp: every call is independent, and
// everything it drives lives in the shared engines. Every call is answered exactly
// once, on every refusal path too; no error escapes as a transport failure.
class PrivilegedHelperService final : public platform::ExportedObject {
 public:
  using Reply = platform::ReplyBlock;

  PrivilegedHelperService(std::shared_ptr<HelperEngines> engines, std::optional<HelperRuntimeStamp> runtimeStamp);

  // The exported interface: every selector and whether it takes a data argument.
  static platform::ExportedInterface exportedInterface();

  void invoke(const std::string& selector, std::optional<std::string> argument, Reply reply) override;
  // A call whose body is over the transport's 16 MiB: the method's failure reply, with
  // its own too-large message, or one naming the transport's limit where it has none.
  void refuseOversized(const std::string& selector, Reply reply) override;

  void fanControl(std::string request, Reply reply);
  void ping(Reply reply);
  void quarantineBackgroundItem(std::string request, Reply reply);
  void restoreQuarantineItem(std::string request, Reply reply);
  void startRescueDrive(std::string request, Reply reply);
  void rescueDriveStatus(std::string request, Reply reply);
  void cancelRescueDrive(std::string request, Reply reply);
  void materializeInstallAssistantPackage(std::string request, Reply reply);
  void preflightInstallerPreparation(std::string request, Reply reply);
  void runInstallerPreparationSafetyCheck(Reply reply);
  void scanInterruptedInstallerDownloads(Reply reply);
  void removeInterruptedInstallerDownloads(std::string request, Reply reply);
  void scanPreparedInstallers(std::string request, Reply reply);
  void deletePreparedInstaller(std::string request, Reply reply);
  void releasePreparedInstallerImages(std::string request, Reply reply);

  // The ping reply: user IDs, capability tags, then the stamp when there is one.
  std::string pingText() const;
  const std::optional<HelperRuntimeStamp>& runtimeStamp() const { return runtimeStamp_; }

 private:
  std::shared_ptr<HelperEngines> engines_;
  const std::optional<HelperRuntimeStamp> runtimeStamp_;
  std::string pingTail_;  // the ping line after the user ids: capability tags, then the stamp
};

}  // namespace tidewarden::helper
