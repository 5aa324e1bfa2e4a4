// The refusals of startup item quarantine and restore, each with its fixed user-facing sentence.
#pragma once

#include <stdexcept>
#include <string>

namespace tidewarden::quarantine {

class BackgroundQuarantineError : public std::runtime_error {
 public:
  enum class Case {
    identityChanged,
    unsafePath,
    targetNotFound,
    insufficientEvidence,
    quarantineFailed,
    restoreConflict,
    invalidQuarantineID,
  };

  explicit BackgroundQuarantineError(Case errorCase) : std::runtime_error(message(errorCase)), case_(errorCase) {}
  // The case's sentence followed by `detail`: what else the user must know (what was
  // and was not done, or why the evidence could not be complete).
  BackgroundQuarantineError(Case errorCase, const std::string& detail)
      : std::runtime_error(std::string(message(errorCase)) + (detail.empty() ? "" : " " + detail)), case_(errorCase) {}

  Case errorCase() const noexcept { return case_; }

  static const char* message(Case errorCase) {
    switch (errorCase) {
      case Case::identityChanged:
        return "The startup item changed since it was scanned. Tidewarden stopped the repair for safety.";
      case Case::unsafePath:
        return "The requested repair includes a location Tidewarden is not allowed to modify.";
      case Case::targetNotFound:
        return "The program used by this startup item could not be found.";
      case Case::insufficientEvidence:
        return "Tidewarden could not independently confirm enough warning signs to safely quarantine this item.";
      case Case::quarantineFailed:
        return "Tidewarden could not complete the quarantine safely.";
      case Case::restoreConflict:
        return "A file already exists at the original location, so Tidewarden did not overwrite it.";
      case Case::invalidQuarantineID:
        return "The quarantine record is invalid.";
    }
    return "";
  }

 private:
  Case case_;
};

}  // namespace tidewarden::quarantine
