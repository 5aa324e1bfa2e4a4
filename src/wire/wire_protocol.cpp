// Framing of calls and replies on the helper's local stream socket.
#include "wire/wire_protocol.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tidewarden::wire {
namespace {

void putBigEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>((value >> shift) & 0xff));
  }
}

std::uint64_t getBigEndian(std::string_view in, std::size_t offset, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value = (value << 8) | static_cast<unsigned char>(in[offset + static_cast<std::size_t>(i)]);
  }
  return value;
}

// A frame of `bodyBytes`, its length prefix written and room reserved for the body,
// so a message is built in one buffer.
std::string frameOf(std::size_t bodyBytes) {
  if (bodyBytes > kMaxFrameBytes) std::abort();
  std::string out;
  out.reserve(4 + bodyBytes);
  putBigEndian(out, bodyBytes, 4);
  return out;
}

// Reads exactly `size` bytes. Returns the number read before end of stream, or -1.
ssize_t readExactly(int fd, char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

std::string encodeCall(const CallFrame& call) {
  if (call.selector.size() > kMaxSelectorBytes) std::abort();
  std::string out = frameOf(10 + call.selector.size() + call.argument.size());
  putBigEndian(out, call.callId, 8);
  putBigEndian(out, call.selector.size(), 2);
  out += call.selector;
  out += call.argument;
  return out;
}

std::string encodeReply(const ReplyFrame& reply) {
  std::string out = frameOf(8 + reply.payload.size());
  putBigEndian(out, reply.callId, 8);
  out += reply.payload;
  return out;
}

std::array<char, kReplyHeaderBytes> replyHeader(std::uint64_t callId, std::size_t payloadBytes) {
  if (payloadBytes > kMaxFrameBytes - 8) std::abort();
  std::string bytes;  // 12 bytes: held inside the string, no allocation
  putBigEndian(bytes, 8 + payloadBytes, 4);
  putBigEndian(bytes, callId, 8);
  std::array<char, kReplyHeaderBytes> header;
  bytes.copy(header.data(), header.size());
  return header;
}

CallHead decodeCallHead(std::string_view partialBody) {
  CallHead head;
  if (partialBody.size() < 10) return head;
  const std::size_t selectorBytes = getBigEndian(partialBody, 8, 2);
  if (selectorBytes == 0 || selectorBytes > kMaxSelectorBytes) {
    head.status = CallHead::Status::malformed;
    return head;
  }
  const std::string_view selector = partialBody.substr(10, selectorBytes);
  for (char c : selector) {
    if (c < 0x21 || c > 0x7e) {
      head.status = CallHead::Status::malformed;
      return head;
    }
  }
  if (selector.size() < selectorBytes) return head;
  head.status = CallHead::Status::head;
  head.callId = getBigEndian(partialBody, 0, 8);
  head.selector.assign(selector);
  return head;
}

std::optional<CallFrame> decodeCall(std::string_view body) {
  CallHead head = decodeCallHead(body);
  if (head.status != CallHead::Status::head) return std::nullopt;
  CallFrame call;
  call.callId = head.callId;
  call.argument.assign(body.substr(10 + head.selector.size()));
  call.selector = std::move(head.selector);
  return call;
}

std::optional<ReplyFrame> decodeReply(std::string_view body) {
  if (body.size() < 8) return std::nullopt;
  return ReplyFrame{getBigEndian(body, 0, 8), std::string(body.substr(8))};
}

void FrameReader::append(std::string_view bytes) {
  // Drop what was already handed out before growing, so a long-lived connection's
  // buffer holds no more than one partial frame plus what just arrived.
  if (consumed_ > 0) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  buffer_.append(bytes);
}

FrameReader::Status FrameReader::next(std::string& body) {
  const std::string_view pending = std::string_view(buffer_).substr(consumed_);
  if (pending.size() < 4) return Status::needMore;
  const std::uint64_t size = getBigEndian(pending, 0, 4);
  if (size > kMaxFrameBytes) return Status::tooLarge;
  if (pending.size() - 4 < size) return Status::needMore;
  body.assign(pending.substr(4, size));
  consumed_ += 4 + size;
  return Status::frame;
}

std::string_view FrameReader::partialBody() const {
  const std::string_view pending = std::string_view(buffer_).substr(consumed_);
  return pending.size() < 4 ? std::string_view() : pending.substr(4);
}

ReadStatus readFrame(int fd, std::string& body) {
  char prefix[4];
  ssize_t got = readExactly(fd, prefix, sizeof prefix);
  if (got == 0) return ReadStatus::endOfStream;
  if (got != static_cast<ssize_t>(sizeof prefix)) return ReadStatus::failed;
  const std::uint64_t size = getBigEndian(std::string_view(prefix, sizeof prefix), 0, 4);
  if (size > kMaxFrameBytes) return ReadStatus::tooLarge;
  body.resize(size);
  if (size > 0 && readExactly(fd, body.data(), size) != static_cast<ssize_t>(size)) {
    return ReadStatus::failed;
  }
  return ReadStatus::frame;
}

bool writeFully(int fd, std::string_view bytes) {
  struct stat st{};
  const bool isSocket = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  while (!bytes.empty()) {
    ssize_t n = isSocket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                         : ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace tidewarden::wire
