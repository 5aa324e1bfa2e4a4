// Fuzz target: a quarantine's "manifest.json" as restore and the start-up recovery read it.
// An accepted manifest names its own quarantine and only moves files of its folder back
// to absolute places; written again, it reads back as the same manifest. A manifest that
// does not read is refused with a decode error or "The quarantine record is invalid.".
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/json_codec.h"
#include "quarantine/background_quarantine_error.h"
#include "quarantine/quarantine_manifest.h"
#include "quarantine/quarantine_paths.h"

namespace {
// The quarantine every corpus manifest belongs to.
constexpr const char* kID = "0D6F1B52-7C0E-4B7A-9D4E-3A1F2B3C4D5E";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace quarantine = tidewarden::quarantine;
  namespace json = tidewarden::platform::json;
  using tidewarden::fuzz::printable;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const std::string folder = quarantine::quarantineFolderPath(kID);
  quarantine::QuarantineManifest manifest;
  try {
    manifest = quarantine::decodeManifest(bytes, folder, kID);
  } catch (const json::DecodeError&) {
    return 0;
  } catch (const quarantine::BackgroundQuarantineError& error) {
    FUZZ_CHECK(error.errorCase() == quarantine::BackgroundQuarantineError::Case::invalidQuarantineID,
               "unexpected refusal: " + std::string(error.what()));
    return 0;
  }
  FUZZ_CHECK(manifest.id == kID, "accepted another quarantine's manifest: " + printable(bytes));
  for (const quarantine::MoveRecord& record : manifest.records) {
    FUZZ_CHECK(quarantine::parentPath(record.quarantined) == folder && record.original.starts_with('/') &&
                   quarantine::standardizedPath(record.original) == record.original,
               "accepted a record outside the folder or to a relative place: " + printable(bytes));
  }
  const auto written = json::encode(json::encodeValue(manifest));
  FUZZ_CHECK(written.has_value(), "an accepted manifest cannot be written again: " + printable(bytes));
  FUZZ_CHECK(quarantine::decodeManifest(*written, folder, kID) == manifest,
             "a rewritten manifest reads back differently: " + printable(*written));
  return 0;
}
