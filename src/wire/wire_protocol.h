// Framing of calls and replies on the helper's local stream socket.
//
// Every message is a frame: a 4-byte big-endian length, then that many bytes.
//   call:  8-byte big-endian call id, 2-byte big-endian selector length, the selector
//          in ASCII, then the argument bytes (the rest of the frame).
//   reply: the 8-byte call id of the call it answers, then the reply bytes.
// This library depends on nothing else of ours: the client links it alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tidewarden::wire {

// The transport's own limit on one frame body; a larger frame closes the connection.
inline constexpr std::uint32_t kMaxFrameBytes = 16u * 1024u * 1024u;
inline constexpr std::size_t kMaxSelectorBytes = 256;

struct CallFrame {
  std::uint64_t callId = 0;
  std::string selector;
  std::string argument;
};

struct ReplyFrame {
  std::uint64_t callId = 0;
  std::string payload;
};

// Whole frames including the 4-byte length prefix. Callers keep bodies within
// kMaxFrameBytes; a larger body is a bug and aborts.
std::string encodeCall(const CallFrame& call);
std::string encodeReply(const ReplyFrame& reply);

// The first bytes of the reply frame of `callId` with `payloadBytes` of reply bytes (its
// length prefix and call id), for a sender that puts the frame together in its own buffer.
inline constexpr std::size_t kReplyHeaderBytes = 12;
std::array<char, kReplyHeaderBytes> replyHeader(std::uint64_t callId, std::size_t payloadBytes);

// Frame bodies (without the length prefix). nullopt for a malformed body: too short,
// a selector length past the end, an empty selector or one with bytes outside
// printable ASCII.
std::optional<CallFrame> decodeCall(std::string_view body);
std::optional<ReplyFrame> decodeReply(std::string_view body);

// The start of a call body that may be cut anywhere: its call id and selector, for
// answering a call whose body is too large to be read. needMore while the selector is
// not complete; malformed as for decodeCall. Reads at most 10 + kMaxSelectorBytes bytes.
struct CallHead {
  enum class Status { needMore, head, malformed };
  Status status = Status::needMore;
  std::uint64_t callId = 0;
  std::string selector;
};
CallHead decodeCallHead(std::string_view partialBody);

// Cuts a byte stream into frame bodies as the bytes arrive, for a reader that takes
// whatever a non-blocking socket holds. Keeps at most one partial frame; a length
// prefix over kMaxFrameBytes makes the stream unusable (the connection must close).
class FrameReader {
 public:
  enum class Status { needMore, frame, tooLarge };

  void append(std::string_view bytes);
  // The next whole frame body into `body` (status frame), or why there is none.
  Status next(std::string& body);
  // Bytes received but not yet returned as a frame.
  std::size_t pendingBytes() const { return buffer_.size() - consumed_; }
  // What has arrived of the body of the frame next() would return (after its length
  // prefix); after tooLarge, the start of the oversized body.
  std::string_view partialBody() const;

 private:
  std::string buffer_;
  std::size_t consumed_ = 0;
};

enum class ReadStatus { frame, endOfStream, tooLarge, failed };

// Blocking read of one frame body from a stream socket or pipe. endOfStream only when
// the peer closed cleanly between frames; a frame cut short is `failed`.
ReadStatus readFrame(int fd, std::string& body);

// Blocking write of all bytes (EINTR-safe, no SIGPIPE on sockets). False when the
// peer is gone or the write failed.
bool writeFully(int fd, std::string_view bytes);

}  // namespace tidewarden::wire
