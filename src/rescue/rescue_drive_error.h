// The failures of a Rescue Drive creation, with their fixed messages.
#pragma once

#include <stdexcept>
#include <string>

namespace tidewarden::rescue {

// Named cases; what() is the user-facing text. invalidInstaller, invalidDisk and
// commandFailed carry a text, the others have fixed messages.
class RescueDriveError : public std::runtime_error {
 public:
  enum class Case { invalidInstaller, invalidDisk, commandFailed, anotherOperationRunning, diskChanged, cancelled };

  static RescueDriveError invalidInstaller(const std::string& text) {
    return {Case::invalidInstaller, "The selected macOS installer is not valid: " + text};
  }
  static RescueDriveError invalidDisk(const std::string& text) {
    return {Case::invalidDisk, "The selected target disk is not safe to erase: " + text};
  }
  static RescueDriveError commandFailed(const std::string& text) { return {Case::commandFailed, text}; }
  static RescueDriveError anotherOperationRunning() {
    return {Case::anotherOperationRunning, "Another Rescue Drive operation is already running."};
  }
  static RescueDriveError diskChanged() {
    return {Case::diskChanged, "The target disk changed after it was selected. Recheck the drive and try again."};
  }
  static RescueDriveError cancelled() { return {Case::cancelled, "Rescue Drive creation was cancelled."}; }

  Case which() const { return case_; }

 private:
  RescueDriveError(Case which, const std::string& message) : std::runtime_error(message), case_(which) {}
  Case case_;
};

}  // namespace tidewarden::rescue
