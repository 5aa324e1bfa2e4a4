// Fuzz target: an installer deletion's intent record as a scan reads it back, from a file
// of its own or from the slot set aside for a full volume (a header block naming the
// record's length and digest, then the record). An accepted record names an installer
// directly in /Applications and only entries below the bundle; written again, into a file
// or a slot, it reads back as the same record. Anything else is refused with a decode
// error or InstallerSafetyError.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "installers/installer_application_name.h"
#include "installers/installer_deletion_record.h"
#include "platform/json_codec.h"
#include "storage/installer_safety_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace installers = tidewarden::installers;
  namespace json = tidewarden::platform::json;
  using tidewarden::fuzz::printable;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  installers::InstallerDeletionRecord record;
  try {
    // Input of a slot's size and beyond is read as a slot, anything shorter as a file.
    if (bytes.size() >= installers::kDeletionRecordSlotHeaderBytes) {
      const auto held = installers::decodeDeletionRecordSlot(bytes);
      if (!held) {
        FUZZ_CHECK(bytes[0] == '\0', "took a slot with a header for a free one: " + printable(bytes.substr(0, 64)));
        return 0;
      }
      record = *held;
    } else {
      record = installers::decodeDeletionRecord(bytes);
    }
  } catch (const json::DecodeError&) {
    return 0;
  } catch (const tidewarden::storage::InstallerSafetyError&) {
    return 0;
  }
  FUZZ_CHECK(installers::immediateInstallerName(record.path).has_value(),
             "accepted a record of another path: " + printable(bytes));
  for (const installers::InstallerDeletionRecordEntry& entry : record.entries) {
    const std::string path = "/" + entry.relativePath + "/";
    FUZZ_CHECK(path.find("//") == std::string::npos && path.find("/./") == std::string::npos &&
                   path.find("/../") == std::string::npos,
               "accepted an entry outside the bundle: " + printable(entry.relativePath));
  }
  const auto written = json::encode(json::encodeValue(record));
  FUZZ_CHECK(written.has_value(), "an accepted record cannot be written again: " + printable(bytes));
  FUZZ_CHECK(installers::decodeDeletionRecord(*written) == record,
             "a rewritten record reads back differently: " + printable(*written));
  const std::string slot = installers::deletionRecordSlotHeader(*written) + *written;
  FUZZ_CHECK(installers::decodeDeletionRecordSlot(slot) == record,
             "a record in a slot reads back differently: " + printable(*written));
  return 0;
}
