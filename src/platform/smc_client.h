// The System Management Controller's user client: open it, exchange 80-byte parameter records, close it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tidewarden::platform {

// Every exchange with the controller is one fixed-size record in and one out.
inline constexpr std::size_t kSmcParameterRecordSize = 80;
using SmcParameterRecord = std::array<std::uint8_t, kSmcParameterRecordSize>;

// SMC result codes a controller answers with (0 is success).
inline constexpr std::uint8_t kSmcResultKeyNotFound = 0x84;
inline constexpr std::uint8_t kSmcResultNotWritable = 0x86;
inline constexpr std::uint8_t kSmcResultBadArgument = 0x89;
inline constexpr std::uint8_t kSmcResultBadCommand = 0x8A;

// What one call returned. `output` holds the record the controller wrote; bytes past
// `outputSize` are zero. Nothing here is interpreted: the kernel return, the reply size
// and every field of the record are judged by the caller (the fan transport), which
// treats anything but a whole, successful reply as a refusal.
struct SmcCallResult {
  std::int32_t kernelReturn = 0;  // the driver call's return code; 0 is success
  std::size_t outputSize = 0;     // how many bytes the controller answered
  SmcParameterRecord output{};
};

// An open user client of the controller, closed when destroyed. Calls are synchronous
// and not interruptible; the caller serialises them.
class SmcConnection {
 public:
  virtual ~SmcConnection() = default;
  // Sends `input` to the controller's struct method (selector 2) and returns its
  // answer. Never throws: a failure is a non-zero kernel return or a short reply.
  virtual SmcCallResult call(const SmcParameterRecord& input) = 0;
};

class SmcClient {
 public:
  enum class OpenStatus {
    opened,              // `connection` is set
    serviceUnavailable,  // no controller service on this machine
    accessDenied,        // the service exists but refused to open a user client
  };
  struct OpenResult {
    OpenStatus status = OpenStatus::serviceUnavailable;
    std::unique_ptr<SmcConnection> connection;
  };

  virtual ~SmcClient() = default;
  // Finds the controller service and opens a user client on it (connection type 0).
  // Any reference to the service itself is released before returning, in every case.
  virtual OpenResult open() = 0;
};

}  // namespace tidewarden::platform
