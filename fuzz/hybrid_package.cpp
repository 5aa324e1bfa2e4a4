// Fuzz target: the XAR/UDIF hybrid test on a whole package (the input): its first and last
// 512-byte blocks. A hybrid needs a full block at each end beginning "xar!" and "koly";
// shorter input, or blocks cut short, never pass.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "materialize/hybrid_package.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace materialize = tidewarden::materialize;
  constexpr std::size_t kBlock = materialize::kHybridBlockBytes;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const std::string_view header = bytes.substr(0, kBlock);
  const std::string_view trailer = bytes.size() >= kBlock ? bytes.substr(bytes.size() - kBlock) : bytes;
  const bool hybrid = materialize::isHybridPackage(header, trailer, static_cast<std::int64_t>(bytes.size()));
  FUZZ_CHECK(hybrid == (bytes.size() >= kBlock && bytes.substr(0, 4) == "xar!" &&
                        bytes.substr(bytes.size() - kBlock, 4) == "koly"),
             "the verdict differs for " + tidewarden::fuzz::printable(bytes, 16));
  // A block read short (as a failed pread would leave it) is never accepted.
  if (!header.empty()) {
    FUZZ_CHECK(!materialize::isHybridPackage(header.substr(0, header.size() - 1), trailer,
                                             static_cast<std::int64_t>(bytes.size())),
               "a header block read short passed");
  }
  return 0;
}
