// How a materialization step words a system tool run that did not end well.
#include "materialize/tool_failure_text.h"

namespace tidewarden::materialize {
namespace {

constexpr std::size_t kShownErrorBytes = 400;

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string toolFailureText(const platform::ToolCommand& command, const storage::ScopedCommandResult& result) {
  std::string text = command.executable;
  if (!command.arguments.empty()) text += " " + command.arguments.front();
  text += " did not finish successfully (exit " + std::to_string(result.status) + ").";
  std::string detail = trimmed(result.standardError);
  if (detail.size() > kShownErrorBytes) detail = detail.substr(0, kShownErrorBytes) + "\u2026";
  if (!detail.empty()) text += " " + detail;
  return text;
}

}  // namespace tidewarden::materialize
