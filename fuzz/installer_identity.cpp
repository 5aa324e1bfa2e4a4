// Fuzz target: an installer's Info.plist identity. Any input is accepted with an identifier
// of the supported form or refused with InstallerSafetyError, never anything else, and the
// same list written again as XML reads the same way.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz/fuzz_check.h"
#include "installers/installer_identity.h"
#include "platform/property_list.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace {

std::optional<std::string> identify(std::string_view bytes) {
  try {
    return tidewarden::installers::readInstallerIdentifier(bytes);
  } catch (const tidewarden::storage::InstallerSafetyError&) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tidewarden::fuzz::printable;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const std::optional<std::string> identifier = identify(bytes);
  if (identifier) {
    const std::string family = "com.apple.InstallAssistant.";
    FUZZ_CHECK(*identifier == "com.apple.InstallAssistant" ||
                   (identifier->rfind(family, 0) == 0 && identifier->size() > family.size()),
               "accepted outside the family: " + printable(*identifier));
    FUZZ_CHECK(identifier->size() <= 255 &&
                   identifier->find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") ==
                       std::string::npos,
               "accepted an unsupported spelling: " + printable(*identifier));
  }
  const auto plist = tidewarden::platform::PropertyList::parse(bytes, tidewarden::storage::kInstallerInfoPlistLimitBytes);
  if (plist) FUZZ_CHECK(identify(plist->toXml()) == identifier, "the XML form reads differently: " + printable(bytes));
  return 0;
}
