#include "platform/linux/linux_platform.h"

#include <fcntl.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/file_io.h"
#include "platform/linux/linux_disk_arbitration.h"
#include "platform/linux/linux_process_facts.h"
#include "platform/linux/linux_smc_client.h"
#include "platform/linux/linux_system_power.h"
#include "platform/tool_groups.h"

namespace tidewarden::platform {

LinuxPlatform::LinuxPlatform(std::vector<TrustAnchor> anchors) : root_(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (!root_) throw std::runtime_error("Cannot open /: " + errnoText(errno));
  clock_ = makeSystemClock();
  facts_ = makeLinuxProcessFacts(root_);
  codeSigning_ = std::make_unique<CodeSigning>(CodeSigningOptions{std::move(anchors), &root_});
  launcher_ = makeProcessLauncher(root_, std::make_shared<ToolGroups>(root_, ToolGroups::kLinuxDirectory));
  smc_ = makeLinuxSmcClient([this] { return openAppleSmcAttributes(root_); });
  power_ = makeLinuxSystemPower(root_);
  freeSpace_ = makeVolumeFreeSpace(root_);
  signals_ = makeProcessSignals();
  diskArbitration_ = makeLinuxDiskArbitration();
  fileFlags_ = makeFileFlags();
  platform_ = std::make_unique<Platform>(Platform{root_, *clock_, *facts_, *codeSigning_, *launcher_, *smc_, *power_,
                                                  *freeSpace_, *signals_, *diskArbitration_, *fileFlags_});
}

}  // namespace tidewarden::platform
