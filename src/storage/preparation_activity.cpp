// What the system tools say about one preparation workspace: open files, running tools, attached images.
#include "storage/preparation_activity.h"

#include "storage/activity_evidence.h"

namespace tidewarden::storage {

PreparationActivity examinePreparationActivity(const platform::Platform& platform, std::string_view workspacePath) {
  const std::string path(workspacePath);
  const AttachedImagesAnswer images = attachedImages(platform);
  const InstallerActivityEvidence openFiles = preparationOpenFileEvidence(platform, path);
  const InstallerActivityEvidence processes = preparationProcessEvidence(platform);

  using State = PreparationActivity::State;
  using Kind = InstallerActivityEvidence::Kind;
  if (!images.unknownReason) {
    const InstallerActivityEvidence associated = imageEvidence(images.images, path);
    if (!associated.isClear()) return {State::imageAttached, associated.text()};
  } else {
    return {State::imagesUnverified, *images.unknownReason};
  }
  for (const InstallerActivityEvidence* evidence : {&openFiles, &processes}) {
    if (evidence->kind() == Kind::blocked) return {State::busy, evidence->text()};
  }
  for (const InstallerActivityEvidence* evidence : {&openFiles, &processes}) {
    if (evidence->kind() == Kind::unknown) return {State::unverified, evidence->text()};
  }
  return {State::idle, ""};
}

}  // namespace tidewarden::storage
