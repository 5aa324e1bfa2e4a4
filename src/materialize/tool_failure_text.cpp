// How a materialization step words a system tool run that did not end well.
#include "materialize/tool_failure_text.h"

#include <csignal>
#include <utility>

namespace tidewarden::materialize {
namespace {

constexpr std::size_t kShownErrorBytes = 400;

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

std::string signalName(int number) {
  static constexpr std::pair<int, const char*> kNames[] = {
      {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},   {SIGTRAP, "SIGTRAP"},
      {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},   {SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"},
      {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"}, {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"},
  };
  for (const auto& [value, name] : kNames) {
    if (value == number) return std::string(name) + ", signal " + std::to_string(number);
  }
  return "signal " + std::to_string(number);
}

// How the run ended: an exit status, a signal, or no end at all; and whether what it
// said was cut off, which makes even "exit 0" no answer.
std::string endingText(const storage::ScopedCommandResult& result) {
  if (result.status >= storage::kScopedStatusSignalBase) {
    return "ended by " + signalName(result.status - storage::kScopedStatusSignalBase);
  }
  if (result.status == storage::kScopedStatusNotEnded) return "did not end";
  std::string text = "exit " + std::to_string(result.status);
  if (result.status >= 0 && !result.complete && result.note.empty()) text += ", output incomplete";
  return text;
}

}  // namespace

std::string toolFailureText(const platform::ToolCommand& command, const storage::ScopedCommandResult& result) {
  std::string text = command.executable;
  if (!command.arguments.empty()) text += " " + command.arguments.front();
  text += " did not finish successfully (" + endingText(result) + ").";
  // The runner's note comes first, so a tool that wrote pages of warnings before it
  // was stopped still says why.
  std::string_view error = result.standardError;
  if (!result.note.empty() && error.ends_with(result.note)) error.remove_suffix(result.note.size());
  const std::string note = trimmed(result.note);
  if (!note.empty()) text += " " + note;
  std::string detail = trimmed(error);
  if (detail.size() > kShownErrorBytes) {
    std::size_t cut = kShownErrorBytes;
    while (cut > 0 && (static_cast<unsigned char>(detail[cut]) & 0xC0) == 0x80) --cut;  // whole characters only
    detail = detail.substr(0, cut) + "\u2026";
  }
  if (!detail.empty()) text += " " + detail;
  return text;
}

}  // namespace tidewarden::materialize
