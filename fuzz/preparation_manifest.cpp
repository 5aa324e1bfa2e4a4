// Fuzz target: the preparation manifest "operation.json" as read from a workspace. An
// accepted manifest names the workspace, has schema 1 and a known purpose, and the
// manifest the helper would write for it is accepted again as the same manifest.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/json_codec.h"
#include "storage/installer_safety_error.h"
#include "storage/preparation_storage_gate.h"

namespace {
// The workspace every corpus manifest belongs to.
constexpr const char* kWorkspaceID = "0F1E2D3C-4B5A-4968-8776-655443322110";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace storage = tidewarden::storage;
  using tidewarden::fuzz::printable;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  storage::PreparationManifest manifest;
  try {
    manifest = storage::decodePreparationManifest(bytes, kWorkspaceID);
  } catch (const storage::InstallerSafetyError& error) {
    FUZZ_CHECK(std::string(error.what()) == storage::kManifestDoesNotMatch,
               "unexpected refusal text: " + std::string(error.what()));
    return 0;
  }
  FUZZ_CHECK(manifest.schema == 1 && manifest.operationID == kWorkspaceID &&
                 (manifest.purpose == "installer" || manifest.purpose == "safety-check"),
             "accepted a manifest of another workspace or purpose: " + printable(bytes));
  const auto written = tidewarden::platform::json::encode(tidewarden::platform::json::encodeValue(manifest));
  FUZZ_CHECK(written.has_value(), "an accepted manifest cannot be written again: " + printable(bytes));
  const storage::PreparationManifest again = storage::decodePreparationManifest(*written, kWorkspaceID);
  FUZZ_CHECK(again == manifest, "a rewritten manifest reads back differently: " + printable(*written));
  return 0;
}
