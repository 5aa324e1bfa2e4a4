// The controller on Linux: an Intel Mac's System Management Controller through the kernel's applesmc driver.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/smc_client.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform {

// Where the driver shows the controller, beneath the machine's root.
inline constexpr const char* kAppleSmcDirectory = "/sys/devices/platform/applesmc.768";

// The attribute files of the driver's directory. Each call is one open, one whole read
// or one write of the file, and one close; the driver answers each by talking to the
// controller then and there.
class AppleSmcAttributes {
 public:
  struct Text {
    std::string bytes;
    int error = 0;  // the errno of a failed read; `bytes` is then empty
  };
  virtual ~AppleSmcAttributes() = default;
  virtual Text read(const std::string& name) = 0;
  // 0, or the errno of the failure (a write the driver takes only in part is EIO).
  virtual int write(const std::string& name, std::string_view text) = 0;
};

struct AppleSmcOpenResult {
  SmcClient::OpenStatus status = SmcClient::OpenStatus::serviceUnavailable;
  std::unique_ptr<AppleSmcAttributes> attributes;  // set when opened
};

// Opens kAppleSmcDirectory beneath `root` without following a link. serviceUnavailable
// when there is no such directory or its "name" is not the driver's ("applesmc");
// accessDenied when it exists but may not be opened. Every file is then opened
// relative to the directory, without following a link, and read only when it is a
// regular file (as every sysfs attribute is), so no read can wait on a pipe.
AppleSmcOpenResult openAppleSmcAttributes(const UniqueFd& root);

// The controller behind the attributes `open` returns, opened anew by every
// SmcClient::open(). Each connection answers the 80-byte parameter records as the
// controller would, from the driver's files:
//   - key information (command 9) and reads (command 5) through the key-by-index files:
//     the key's index is found once by name (the driver keeps the keys in name order)
//     and cached; the index is written to key_at_index, then the name is read back and
//     must be the key, then key_at_index_type and key_at_index_data_length, or the
//     bytes of key_at_index_data exactly as the driver gives them, and key_at_index
//     must still hold the index afterwards. The attribute byte, which the driver does
//     not show, is answered 0.
//   - writes (command 6) only where the driver has a writable equivalent: a fan's mode
//     key F#Md (ui8, 0 or 1) to fan<#+1>_manual and its target key F#Tg (fpe2, or flt
//     holding a whole number) to fan<#+1>_output, as the decimal RPM the file takes
//     (below 16384). Any other key is SMC result 0x86 (not writable), a value the file
//     cannot take or a size that is not the key's 0x89, an unknown key 0x84, an unknown
//     command 0x8A.
// A file that cannot be read or written answers kernel return -errno; an answer that is
// not what the driver documents (a malformed number or name, a name that is not the
// key, data of another length, an index moved by someone else) answers -EBADMSG. Nothing
// is ever guessed or retried.
std::unique_ptr<SmcClient> makeLinuxSmcClient(std::function<AppleSmcOpenResult()> open);

}  // namespace tidewarden::platform
