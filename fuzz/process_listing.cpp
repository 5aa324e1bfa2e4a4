// Fuzz target: the "ps -axo pid=,args=" listing that decides which processes a quarantine
// stops. Only process ids above 1 that are not the helper's own are named, each once, and
// only for a line that names a quarantined path; a line that is not a process line marks
// the listing as not known whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "quarantine/background_quarantine_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace quarantine = tidewarden::quarantine;
  using tidewarden::fuzz::printable;
  constexpr pid_t kOwnPid = 4242;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const std::vector<std::string> paths = {"/Users/Shared/.w/agent"};
  const quarantine::ProcessListing listing = quarantine::processesRunning(bytes, paths, kOwnPid);
  for (std::size_t i = 0; i < listing.pids.size(); ++i) {
    const pid_t pid = listing.pids[i];
    FUZZ_CHECK(pid > 1 && pid != kOwnPid, "named pid " + std::to_string(pid) + ": " + printable(bytes));
    FUZZ_CHECK(std::count(listing.pids.begin(), listing.pids.end(), pid) == 1, "named a pid twice: " + printable(bytes));
  }
  if (bytes.find(paths[0]) == std::string_view::npos) {
    FUZZ_CHECK(listing.pids.empty(), "named a process that runs no quarantined path: " + printable(bytes));
  }
  // Every line read alone says the same about itself.
  bool unread = false;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    unread = unread || quarantine::processesRunning(bytes.substr(start, end - start), paths, kOwnPid).unreadLines;
    start = end + 1;
  }
  FUZZ_CHECK(unread == listing.unreadLines, "a listing read differently from its lines: " + printable(bytes));
  return 0;
}
