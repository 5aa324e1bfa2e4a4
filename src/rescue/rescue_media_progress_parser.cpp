// Steps and percentages from the media-creation tool's lines: the prefix table and the percentage rule.
#include "rescue/rescue_media_progress_parser.h"

#include <array>
#include <cctype>
#include <cmath>
#include <optional>
#include <utility>

#include "platform/regex.h"
#include "platform/utf8.h"

namespace tidewarden::rescue {
namespace {

// A UTF-8 character takes at most 4 bytes: a line of more bytes than this is over the limit.
constexpr std::size_t kLineByteLimit = kMediaOutputLineLimitCharacters * 4;
// Enough for any line the limit lets through.
constexpr std::size_t kMaxPercentMatches = kMediaOutputLineLimitCharacters;

constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kStepMessages{{
    {"checking", "Revalidating the source and the exact reviewed destination."},
    {"formatting", "Applying only the format operation approved for the selected destination."},
    {"startingTool", "Waiting for Apple\u2019s tool to report its first step."},
    {"erasing", "Apple\u2019s tool is preparing the selected installer volume."},
    {"essentialFiles", "Apple\u2019s tool is copying the files needed to prepare the media."},
    {"recoveryFiles", "Apple\u2019s tool is copying macOS Recovery components."},
    {"copyingInstaller", "Copy progress is for this step only. Boot preparation and final checks may still follow."},
    {"makingBootable",
     "Files may already be visible on the USB. Apple\u2019s tool still needs to finish boot preparation; keep the "
     "drive connected."},
    {"finalizing",
     "Waiting for Apple\u2019s tool to exit before checking the result. Visible files or a copy step at 100% do not "
     "mean the drive is ready."},
    {"verifying",
     "Apple\u2019s tool has exited. Checking the created volume and preserved partition records before declaring "
     "success."},
}};

// First match wins; the tool prints "Erasing disk: 0%..." for a disk and "Erasing volume" for a
// volume, and "Copying to disk: 10%..." while it copies the installer.
constexpr std::array<std::pair<std::string_view, std::string_view>, 13> kStepPrefixes{{
    {"erasing disk", "erasing"},
    {"erasing volume", "erasing"},
    {"copying essential files", "essentialFiles"},
    {"copying the macos recovery", "recoveryFiles"},
    {"copying recovery", "recoveryFiles"},
    {"making disk bootable", "makingBootable"},
    {"making the disk bootable", "makingBootable"},
    {"copying installer", "copyingInstaller"},
    {"copying install files", "copyingInstaller"},
    {"copying to disk", "copyingInstaller"},
    {"install media now available", "finalizing"},
    {"copy complete", "finalizing"},
    {"done.", "finalizing"},
}};

std::string trimmedLower(std::string_view line) {
  const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!line.empty() && space(line.front())) line.remove_prefix(1);
  while (!line.empty() && space(line.back())) line.remove_suffix(1);
  std::string lower(line);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string trimmed(std::string_view line) {
  const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!line.empty() && space(line.front())) line.remove_prefix(1);
  while (!line.empty() && space(line.back())) line.remove_suffix(1);
  return std::string(line);
}

std::optional<double> lastPercentage(std::string_view line) {
  static const auto pattern = platform::Regex::compile(R"((?<![0-9.\-])([0-9]{1,3}(?:\.[0-9]{1,2})?)%)");
  if (!pattern) return std::nullopt;
  const auto matches = pattern->matchAll(line, kMaxPercentMatches);
  if (!matches || matches->empty() || !matches->back()[1]) return std::nullopt;
  const double value = std::stod(*matches->back()[1]);
  if (!std::isfinite(value) || value > 100) return std::nullopt;
  return value;
}

}  // namespace

std::string_view rescueStepMessage(std::string_view step) {
  for (const auto& [name, message] : kStepMessages) {
    if (name == step) return message;
  }
  return {};
}

std::vector<std::string> RescueMediaProgressParser::feed(std::string_view bytes) {
  std::vector<std::string> lines;
  for (const char c : bytes) {
    if (c == '\r' || c == '\n') {
      if (!dropping) {
        std::string decoded = platform::decodeUtf8Lossy(line);
        // Counted in characters: a repaired byte counts as one.
        std::size_t characters = 0;
        for (const char byte : decoded) characters += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
        if (characters > kMediaOutputLineLimitCharacters) {
          overflow = true;
        } else {
          lines.push_back(std::move(decoded));
        }
      }
      line.clear();
      dropping = false;
      continue;
    }
    if (dropping) continue;
    if (line.size() >= kLineByteLimit) {
      overflow = true;
      dropping = true;
      line.clear();
      continue;
    }
    line.push_back(c);
  }
  return lines;
}

void applyMediaOutputLine(RescueCreationProgress& progress, std::string_view line, double now) {
  const std::string text = trimmed(line);
  if (text.empty()) return;
  progress.lastOutput = text;
  progress.lastOutputAt = platform::json::Date{now};
  const std::string lower = trimmedLower(text);
  for (const auto& [prefix, step] : kStepPrefixes) {
    if (!lower.starts_with(prefix)) continue;
    if (progress.step != step) {
      progress.step = std::string(step);
      progress.stepStartedAt = platform::json::Date{now};
      progress.stepPercent.reset();
      return;
    }
    break;
  }
  if (progress.step == "finalizing") return;
  if (const auto percent = lastPercentage(lower)) progress.stepPercent = *percent;
}

}  // namespace tidewarden::rescue
