// Fuzz target: the lsof field-record reader (-F output of "p", "f" and "n" lines). Output
// that reads is valid UTF-8 whose records have a positive pid, an accepted descriptor and
// a one-line name; written back as lsof writes it, it reads back to the same records.
// Output that does not read carries one of the listed reasons.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/utf8.h"
#include "storage/tool_output_readers.h"

namespace {

namespace storage = tidewarden::storage;
using tidewarden::fuzz::printable;

std::string fieldText(const std::vector<storage::LsofOpenFile>& files) {
  std::string text;
  pid_t current = 0;
  for (const storage::LsofOpenFile& file : files) {
    if (file.pid != current) text += "p" + std::to_string(file.pid) + "\n";
    current = file.pid;
    text += "f" + file.descriptor + "\nn" + file.path + "\n";
  }
  return text;
}

bool sameFiles(const std::vector<storage::LsofOpenFile>& a, const std::vector<storage::LsofOpenFile>& b) {
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const storage::LsofFieldReading reading = storage::readLsofFieldRecords(bytes);
  if (reading.unknownReason) {
    const std::string& reason = *reading.unknownReason;
    FUZZ_CHECK(reason == storage::kLsofProcessMalformedMessage || reason == storage::kLsofDescriptorIncompleteMessage ||
                   reason == storage::kLsofRecordsIncompleteMessage ||
                   reason == storage::kLsofUnsupportedRecordMessage || reason == storage::kLsofUndecodableMessage,
               "an unlisted reason: " + reason);
    FUZZ_CHECK(reading.files.empty(), "records returned beside a reason");
    return 0;
  }
  FUZZ_CHECK(tidewarden::platform::isValidUtf8(bytes), "output that is not UTF-8 was read: " + printable(bytes));
  for (const storage::LsofOpenFile& file : reading.files) {
    FUZZ_CHECK(file.pid > 0, "a record without a positive pid: " + printable(bytes));
    FUZZ_CHECK(!file.descriptor.empty() && file.path.find('\n') == std::string::npos,
               "a record with an empty descriptor or a name over lines: " + printable(bytes));
  }
  const std::string written = fieldText(reading.files);
  const storage::LsofFieldReading reread = storage::readLsofFieldRecords(written);
  FUZZ_CHECK(!reread.unknownReason && sameFiles(reread.files, reading.files),
             "records written back read differently: " + printable(bytes) + "\n  written: " + printable(written));
  return 0;
}
