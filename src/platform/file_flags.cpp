// BSD file flags: chflags(1)'s names for the flag bits.
#include "platform/file_flags.h"

#include <array>
#include <cstdio>
#include <utility>

namespace tidewarden::platform {
namespace {

constexpr std::array<std::pair<std::string_view, std::uint32_t>, 11> kFlagNames{{
    {"nodump", kFlagNoDump},
    {"uchg", kFlagUserImmutable},
    {"uappnd", kFlagUserAppend},
    {"opaque", kFlagOpaque},
    {"compressed", kFlagCompressed},
    {"hidden", kFlagHidden},
    {"arch", kFlagArchived},
    {"schg", kFlagSystemImmutable},
    {"sappnd", kFlagSystemAppend},
    {"restricted", kFlagRestricted},
    {"sunlnk", kFlagSystemNoUnlink},
}};

}  // namespace

std::string fileFlagNames(std::uint32_t flags) {
  if (flags == 0) return "none";
  std::string names;
  for (const auto& [name, bit] : kFlagNames) {
    if ((flags & bit) == 0) continue;
    names += (names.empty() ? "" : ",") + std::string(name);
    flags &= ~bit;
  }
  if (flags != 0) {
    char unknown[16];
    std::snprintf(unknown, sizeof unknown, "0x%x", flags);
    names += (names.empty() ? "" : ",") + std::string(unknown);
  }
  return names;
}

std::optional<std::uint32_t> fileFlagNamed(std::string_view name) {
  for (const auto& [known, bit] : kFlagNames) {
    if (known == name) return bit;
  }
  return std::nullopt;
}

}  // namespace tidewarden::platform
