// The only code that talks to the System Management Controller: typed key reads, the two fan writes, the event log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fan/fan_messages.h"
#include "platform/smc_client.h"

namespace tidewarden::fan {

// Layout of the 80-byte parameter record, identical for input and output; integers
// are little-endian, the key and the type are four characters packed first character
// in the most significant byte. Every field not named here stays zero.
namespace smc_record {
inline constexpr std::size_t kKeyOffset = 0;          // 4 bytes
inline constexpr std::size_t kDataSizeOffset = 28;    // 4 bytes: value length
inline constexpr std::size_t kDataTypeOffset = 32;    // 4 bytes: output of key info
inline constexpr std::size_t kAttributesOffset = 36;  // 1 byte: output of key info
inline constexpr std::size_t kResultOffset = 40;      // 1 byte: output, 0 = success
inline constexpr std::size_t kStatusOffset = 41;      // 1 byte: output
inline constexpr std::size_t kCommandOffset = 42;     // 1 byte: input
inline constexpr std::size_t kBytesOffset = 48;       // 32 bytes: value in (write) or out (read)
inline constexpr std::size_t kMaxValueBytes = 32;

inline constexpr std::uint8_t kReadValue = 5;
inline constexpr std::uint8_t kWriteValue = 6;
inline constexpr std::uint8_t kReadKeyInfo = 9;

// Four-character code <-> the packed 32-bit field.
void putFourCC(platform::SmcParameterRecord& record, std::size_t offset, std::string_view code);
std::string fourCC(const platform::SmcParameterRecord& record, std::size_t offset);
void putUInt32(platform::SmcParameterRecord& record, std::size_t offset, std::uint32_t value);
std::uint32_t uint32At(const platform::SmcParameterRecord& record, std::size_t offset);
}  // namespace smc_record

// The temperature keys of a chip family, most representative first.
struct TemperatureKeys {
  std::vector<std::string> cpu;
  std::vector<std::string> gpu;
};

// Owns one open user client. Single-threaded by contract: only the fan queue calls it.
//
// It reads any key but writes exactly two kinds, per-fan mode F#Md and per-fan target
// F#Tg; any other write is refused before a byte reaches the controller. Nothing is
// ever retried with another key, command, size or encoding, and every refusal says so.
// Every failure is FanControlError::refused with the sentence the user sees.
class FanSMCTransport {
 public:
  // A key's value as the controller reported it.
  struct Value {
    std::string type;                        // four-character data type ("ui8 ", "flt "); "" if not text
    std::vector<std::uint8_t> bytes;         // the raw value, 1...32 bytes
    std::optional<std::uint8_t> attributes;  // the key's attribute byte
  };

  static constexpr std::size_t kMaxEventCharacters = 384;
  static constexpr std::size_t kMaxEvents = 48;

  // Opens the controller's user client. Refuses with "AppleSMC is unavailable." when
  // there is no controller and "Native fan-control access was denied." when it will
  // not open.
  explicit FanSMCTransport(platform::SmcClient& client);

  // One exchange. Refuses a malformed request ("Invalid native fan request.") and any
  // write other than a fan mode or target of the stated size ("A fan-only write was
  // refused.") before anything is sent. A write is logged whatever its outcome; a
  // reply that is not exactly 80 bytes with kernel return 0 and SMC result 0 is a
  // refusal (logged when `recordRefusal`). Returns the whole output record.
  platform::SmcParameterRecord callSMC(std::string_view key, std::uint8_t command, std::uint32_t dataSize,
                                       std::span<const std::uint8_t> payload, bool recordRefusal);
  // Key info, then the value of exactly the size the controller declared (1...32).
  Value readValue(std::string_view key);
  void writeValue(std::string_view key, std::span<const std::uint8_t> payload);

  // The number a value holds for the types the fans and sensors use ("ui8 ", "fpe2",
  // "sp78", "flt "), or nothing for any other type, a length that does not match the
  // type, or a non-finite float.
  static std::optional<double> decodeValue(std::string_view type, std::span<const std::uint8_t> bytes);
  // The payload that sets a target of `rpm` in a register of `type` ("fpe2" or "flt ").
  static std::vector<std::uint8_t> encodeTarget(double rpm, std::string_view type);
  // "type=..., value=... (or unreadable), bytes=[..]" for logs and messages.
  static std::string describeValue(const Value& value);
  // The key of fan `index` with `suffix`: fanKey(0, "Md") is "F0Md".
  static std::string fanKey(int index, std::string_view suffix);
  // The sensor keys to read for a CPU brand string; both lists are empty for chips
  // this helper does not know.
  static TemperatureKeys temperatureKeys(std::string_view chip);

  // Every fan the controller reports, in index order; a read or format failure ends it
  // with its refusal. An empty list means the controller reports no fans.
  std::vector<FanControlFan> readFanInventory();
  // The highest plausible reading (above 0 and below 140 °C) among `keys`; keys that
  // cannot be read or decoded are skipped. Nothing when no reading is kept.
  //
  // The key lists name every sensor of a chip family, and each model has only some of
  // them. So that the control step's reads of absent sensors do not push the writes out
  // of the 48-line log, a sensor key's refusal is logged once per transport (session).
  // The key is still read every time: a sensor that answers again is used again, so the
  // temperature guard never settles for a less representative sensor.
  std::optional<double> readTemperature(const std::vector<std::string>& keys);
  // "KEY INFO" lines describing the fan keys. Read-only: nothing is written, and
  // refusals are described in the lines rather than logged as events.
  std::vector<std::string> captureInterfaceMetadata();

  // Appends one line to the event log: cut to its first 384 characters, and only the
  // newest 48 lines are kept.
  void recordEvent(std::string_view text);
  const std::deque<std::string>& writeEvents() const { return writeEvents_; }
  void clearWriteEvents() { writeEvents_.clear(); }

  // Fans for which a manual-mode write may have reached the controller and no return
  // to automatic has been verified since. Maintained by the mode writes.
  std::set<int>& modeWritesNeedingCancellation() { return modeWritesNeedingCancellation_; }

 private:
  Value readValue(std::string_view key, bool recordRefusal);


  std::unique_ptr<platform::SmcConnection> connection_;
  std::deque<std::string> writeEvents_;
  std::set<int> modeWritesNeedingCancellation_;
  // The detail text of the latest call the controller refused.
  std::optional<std::string> lastRefusal_;
  std::set<std::string> loggedSensorKeys_;
};

}  // namespace tidewarden::fan
