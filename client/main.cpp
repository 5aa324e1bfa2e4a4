// tidewarden-ctl: command-line client that talks to the privileged helper over its socket.
//
// It speaks only the wire protocol (one connection, one call, one reply) and links
// nothing of the helper. Exit statuses: 0 a reply arrived; 1 a local failure (cannot
// connect, unreadable input, malformed reply); 2 a usage error; 3 the helper closed the
// connection without replying, which is what a client that is not admitted sees.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wire/wire_protocol.h"

namespace {

namespace wire = tidewarden::wire;

constexpr std::string_view kProgram = "tidewarden-ctl";
constexpr std::string_view kDefaultSocket = "/run/com.ambergrove.Tidewarden.PrivilegedHelper.sock";
constexpr std::string_view kPingSelector = "pingWithReply:";
// Every call on a fresh connection is the first one; the reply must carry this id.
constexpr std::uint64_t kCallId = 1;
// Call id, selector length: the fixed part of a call frame body before the selector.
constexpr std::size_t kCallHeaderBytes = 10;

enum ExitStatus : int { kExitReply = 0, kExitFailure = 1, kExitUsage = 2, kExitNoReply = 3 };

// A failure that ends the program with `status` after printing `message` on stderr.
struct Failure {
  int status;
  std::string message;
};

std::string systemError(int err) {
  return std::string(std::strerror(err));  // only the main thread runs in this program
}

struct Options {
  std::string socketPath{kDefaultSocket};
};

// Sends one call on a fresh connection and returns the reply bytes. Throws Failure.
std::string callHelper(const Options& options, std::string_view selector, std::string argument) {
  if (kCallHeaderBytes + selector.size() + argument.size() > wire::kMaxFrameBytes) {
    throw Failure{kExitFailure, "the request is too large for one call (" + std::to_string(argument.size()) +
                                    " bytes of data; the transport carries at most " +
                                    std::to_string(wire::kMaxFrameBytes) + " bytes per frame)"};
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (options.socketPath.empty() || options.socketPath.size() >= sizeof address.sun_path) {
    throw Failure{kExitFailure, "cannot connect to " + options.socketPath + ": the socket path is too long"};
  }
  std::memcpy(address.sun_path, options.socketPath.data(), options.socketPath.size());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Failure{kExitFailure, "cannot create a socket: " + systemError(errno)};
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  int connected;
  do {
    connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (connected != 0 && errno == EINTR);
  if (connected != 0) {
    throw Failure{kExitFailure, "cannot connect to " + options.socketPath + ": " + systemError(errno)};
  }

  const std::string frame = wire::encodeCall({kCallId, std::string(selector), std::move(argument)});
  const Failure noReply{kExitNoReply, "the helper closed the connection without a reply (not admitted?)"};
  // A refused connection is closed before anything is read, so the write itself may
  // fail with a reset or a broken pipe: that is the same outcome as a silent close.
  errno = 0;
  if (!wire::writeFully(fd, frame)) {
    if (errno == EPIPE || errno == ECONNRESET) throw noReply;
    throw Failure{kExitFailure, "cannot send the request: " + systemError(errno)};
  }

  std::string body;
  errno = 0;
  switch (wire::readFrame(fd, body)) {
    case wire::ReadStatus::frame:
      break;
    case wire::ReadStatus::endOfStream:
      throw noReply;
    case wire::ReadStatus::tooLarge:
      throw Failure{kExitFailure, "the helper's reply is larger than the transport allows"};
    case wire::ReadStatus::failed:
      // errno stays 0 when the stream ended inside a frame.
      if (errno == 0 || errno == ECONNRESET) throw noReply;
      throw Failure{kExitFailure, "cannot read the reply: " + systemError(errno)};
  }
  std::optional<wire::ReplyFrame> reply = wire::decodeReply(body);
  if (!reply || reply->callId != kCallId) {
    throw Failure{kExitFailure, "the helper's reply is malformed"};
  }
  return std::move(reply->payload);
}

void writeStandardOutput(std::string_view bytes) {
  if (!wire::writeFully(STDOUT_FILENO, bytes)) {
    throw Failure{kExitFailure, "cannot write the reply: " + systemError(errno)};
  }
}

// Reads the whole argument of --data: a file, or standard input for "-". Bounded by
// the frame limit so that a mistaken device path cannot exhaust memory.
std::string readData(const std::string& source) {
  int fd = STDIN_FILENO;
  if (source != "-") {
    fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Failure{kExitFailure, "cannot read " + source + ": " + systemError(errno)};
  }
  const std::string name = source == "-" ? "standard input" : source;
  std::string data;
  char buffer[65536];
  int readError = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      readError = errno;
      break;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > wire::kMaxFrameBytes) break;
  }
  if (fd != STDIN_FILENO) ::close(fd);
  if (readError != 0) throw Failure{kExitFailure, "cannot read " + name + ": " + systemError(readError)};
  if (data.size() > wire::kMaxFrameBytes) {
    throw Failure{kExitFailure, "cannot send " + name + ": it is larger than the transport's limit of " +
                                    std::to_string(wire::kMaxFrameBytes) + " bytes"};
  }
  return data;
}

using Arguments = std::span<const std::string>;

// One subcommand: its name, its synopsis line for the usage text and its body. A body
// throws Failure; a Failure with kExitUsage prints the usage text after the message.
struct Subcommand {
  std::string_view name;
  std::string_view synopsis;
  std::string_view summary;
  std::function<int(const Options&, Arguments)> run;
};

Failure usageError(std::string message) { return Failure{kExitUsage, std::move(message)}; }

int runPing(const Options& options, Arguments arguments) {
  if (!arguments.empty()) throw usageError("ping takes no arguments");
  std::string reply = callHelper(options, kPingSelector, {});
  reply.push_back('\n');
  writeStandardOutput(reply);
  return kExitReply;
}

// Selectors travel as printable ASCII; anything else would make the helper drop the
// connection, which the user would misread as a refusal.
bool isValidSelector(std::string_view selector) {
  if (selector.empty() || selector.size() > wire::kMaxSelectorBytes) return false;
  for (char c : selector) {
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

int runCall(const Options& options, Arguments arguments) {
  std::optional<std::string> selector;
  std::optional<std::string> dataSource;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--data") {
      if (dataSource) throw usageError("--data given twice");
      if (i + 1 == arguments.size()) throw usageError("--data needs a file name or -");
      dataSource = arguments[++i];
    } else if (argument.starts_with("--")) {
      throw usageError("unknown option " + argument + " for call");
    } else if (selector) {
      throw usageError("call takes one selector, got a second: " + argument);
    } else {
      selector = argument;
    }
  }
  if (!selector) throw usageError("call needs a selector, e.g. pingWithReply:");
  if (!isValidSelector(*selector)) {
    throw usageError("the selector must be 1 to " + std::to_string(wire::kMaxSelectorBytes) +
                     " printable ASCII characters without spaces");
  }
  std::string argument = dataSource ? readData(*dataSource) : std::string();
  writeStandardOutput(callHelper(options, *selector, std::move(argument)));
  return kExitReply;
}

// The subcommands, in the order the usage text lists them. A capability gets its own
// entry here; `call` stays as the raw escape hatch.
const std::vector<Subcommand>& subcommands() {
  static const std::vector<Subcommand> table = {
      {"ping", "ping", "ask the helper whether it is ready; prints its reply string", runPing},
      {"call", "call SELECTOR [--data FILE|-]",
       "send raw argument bytes (none without --data) to SELECTOR; writes the reply bytes as they are",
       runCall},
  };
  return table;
}

std::string usageText() {
  std::string text = "usage: " + std::string(kProgram) + " [--socket PATH] COMMAND\n\ncommands:\n";
  for (const Subcommand& command : subcommands()) {
    text += "  " + std::string(command.synopsis) + "\n      " + std::string(command.summary) + "\n";
  }
  text += "\noptions:\n  --socket PATH   the helper's socket (default " + std::string(kDefaultSocket) +
          ")\n  --help          show this text\n"
          "\nexit status: 0 reply received, 1 failure, 2 usage error, 3 no reply (connection refused or "
          "closed)\n";
  return text;
}

int run(const std::vector<std::string>& arguments) {
  Options options;
  std::size_t index = 0;
  for (; index < arguments.size() && arguments[index].starts_with("-"); ++index) {
    const std::string& option = arguments[index];
    if (option == "--help" || option == "-h") {
      std::cout << usageText() << std::flush;
      return kExitReply;
    }
    if (option == "--socket") {
      if (index + 1 == arguments.size()) throw usageError("--socket needs a path");
      options.socketPath = arguments[++index];
      if (options.socketPath.empty()) throw usageError("--socket needs a non-empty path");
    } else {
      throw usageError("unknown option " + option);
    }
  }
  if (index == arguments.size()) throw usageError("no command given");
  const std::string& name = arguments[index];
  for (const Subcommand& command : subcommands()) {
    if (command.name == name) {
      return command.run(options, Arguments(arguments).subspan(index + 1));
    }
  }
  throw usageError("unknown command " + name);
}

}  // namespace

int main(int argc, char** argv) {
  // Linux stand-in for the hardened runtime: no process without CAP_SYS_PTRACE, also
  // none of the same user, may attach to this signed client or read or write its
  // memory, so the code the helper verified is the code that talks to it. (The helper,
  // as root, still reads how the process is mapped.)
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  try {
    return run(arguments);
  } catch (const Failure& failure) {
    std::cerr << kProgram << ": " << failure.message << "\n";
    if (failure.status == kExitUsage) std::cerr << usageText();
    return failure.status;
  }
}
