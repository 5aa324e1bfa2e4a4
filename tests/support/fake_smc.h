// An in-memory System Management Controller for tests: registers, a record of every call, scripted answers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/smc_client.h"

namespace tidewarden::platform {
class Clock;
}

namespace tidewarden::testing {

// Answers the 80-byte records from `keys` the way a controller does: key info, reads of
// the declared size, writes of the same size into an existing key. An unknown key is
// result 0x84, a size mismatch 0x89. Every record received is kept, so a test can
// prove what was (and was not) sent.
class FakeSmc final : public platform::SmcClient {
 public:
  struct Key {
    std::string type;
    std::vector<std::uint8_t> bytes;
    std::uint8_t attributes = 0x80;
  };

  static Key ui8(std::uint8_t value) { return {"ui8 ", {value}}; }
  static Key fpe2(double value);
  static Key flt(double value);
  static Key sp78(double value);

  // Adds fan `index` with registers of `type` ("fpe2" or "flt ") and sets FNum to the
  // number of fans added so far.
  void addFan(int index, const std::string& type, double actual, double minimum, double maximum, double target,
              std::uint8_t mode);

  OpenResult open() override;

  // The registers.
  std::map<std::string, Key> keys;
  OpenStatus openStatus = OpenStatus::opened;
  // Every record sent to any connection, in order.
  std::vector<platform::SmcParameterRecord> received;
  // Runs before each call is answered: may change `keys` or the clock, or answer
  // instead (a short reply, a result code, a failed driver call).
  std::function<std::optional<platform::SmcCallResult>(const platform::SmcParameterRecord&)> beforeAnswer;
  // Each call takes this much virtual time on `clock` (when set and positive).
  platform::Clock* clock = nullptr;
  double secondsPerCall = 0;

  // Decoded views of `received`: the key of each call, and the keys written.
  std::string keyOf(std::size_t call) const;
  std::vector<std::string> writtenKeys() const;

  platform::SmcCallResult answer(const platform::SmcParameterRecord& input);
};

}  // namespace tidewarden::testing
