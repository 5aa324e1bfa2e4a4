// What the system tools say about one preparation workspace: open files, running tools, attached images.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tidewarden::storage {

// The verdict on a workspace, the most serious finding first: an image associated
// with it, an image inventory that could not be read, a process holding files or a
// package/image tool running, an open-file or process check that could not be
// completed. Only `idle` lets anything be removed.
struct PreparationActivity {
  enum class State { idle, imageAttached, imagesUnverified, busy, unverified };
  State state = State::unverified;
  std::string text;  // the evidence's own sentence; empty when idle

  bool idle() const { return state == State::idle; }
  friend bool operator==(const PreparationActivity&, const PreparationActivity&) = default;
};

// Runs the three checks (lsof +D on the workspace, ps for package and image tools,
// hdiutil info for attached images) and folds them into one verdict. Blocks for at
// most the three tools' time limits. Never throws.
PreparationActivity examinePreparationActivity(const platform::Platform& platform, std::string_view workspacePath);

}  // namespace tidewarden::storage
