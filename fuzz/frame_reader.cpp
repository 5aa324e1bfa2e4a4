// Fuzz target: wire::FrameReader fed a byte stream in arbitrary pieces, and every frame
// it yields through the call decoder.
//
// Input: byte 0 gives how many of the next bytes are cut sizes (0..15); each cut size
// is that byte + 1, used in turn; the rest is the stream. Whatever the cuts, the frames
// and the tooLarge verdict must be those of the whole stream appended at once; a frame
// that decodes as a call re-encodes to the very same bytes and decodes to the same call;
// the call head read from any cut-short start of a frame is either still incomplete or
// the head of the whole frame (what an oversized call is answered by).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "wire/wire_protocol.h"

namespace {

using tidewarden::fuzz::printable;
using tidewarden::wire::FrameReader;

struct Outcome {
  std::vector<std::string> frames;
  bool tooLarge = false;
  std::size_t pending = 0;
};

// Takes every frame the reader holds; true when the stream turned out unusable.
bool drain(FrameReader& reader, Outcome& outcome) {
  for (;;) {
    std::string body;
    switch (reader.next(body)) {
      case FrameReader::Status::frame:
        outcome.frames.push_back(std::move(body));
        continue;
      case FrameReader::Status::needMore:
        return false;
      case FrameReader::Status::tooLarge:
        outcome.tooLarge = true;
        return true;
    }
  }
}

Outcome readInPieces(std::string_view stream, const std::vector<std::size_t>& cuts) {
  FrameReader reader;
  Outcome outcome;
  std::size_t nextCut = 0;
  while (!stream.empty()) {
    const std::size_t piece = cuts.empty() ? stream.size() : std::min(cuts[nextCut++ % cuts.size()], stream.size());
    const std::size_t before = reader.pendingBytes();
    reader.append(stream.substr(0, piece));
    FUZZ_CHECK(reader.pendingBytes() == before + piece, "append lost or invented bytes");
    stream.remove_prefix(piece);
    if (drain(reader, outcome)) break;
  }
  outcome.pending = reader.pendingBytes();
  return outcome;
}

void checkCallHead(const std::string& body) {
  using tidewarden::wire::CallHead;
  const CallHead whole = tidewarden::wire::decodeCallHead(body);
  FUZZ_CHECK(tidewarden::wire::decodeCall(body).has_value() == (whole.status == CallHead::Status::head),
             "the call head and the whole call disagree: " + printable(body));
  const std::size_t longest = std::min(body.size(), 10 + tidewarden::wire::kMaxSelectorBytes);
  for (std::size_t length = 0; length <= longest; ++length) {
    const CallHead part = tidewarden::wire::decodeCallHead(std::string_view(body).substr(0, length));
    if (part.status == CallHead::Status::needMore) continue;
    FUZZ_CHECK(part.status == whole.status && part.callId == whole.callId && part.selector == whole.selector,
               "a cut-short call head differs from the whole one: " + printable(body.substr(0, length)));
  }
}

void checkCall(const std::string& body) {
  checkCallHead(body);
  const auto call = tidewarden::wire::decodeCall(body);
  if (!call) return;
  FUZZ_CHECK(!call->selector.empty() && call->selector.size() <= tidewarden::wire::kMaxSelectorBytes,
             "decoded selector out of bounds: " + printable(call->selector));
  const std::string encoded = tidewarden::wire::encodeCall(*call);
  FUZZ_CHECK(encoded.size() == body.size() + 4 && std::string_view(encoded).substr(4) == body,
             "a decoded call re-encodes to other bytes: " + printable(body) + " vs " + printable(encoded));
  FrameReader reader;
  reader.append(encoded);
  std::string again;
  FUZZ_CHECK(reader.next(again) == FrameReader::Status::frame && again == body && reader.pendingBytes() == 0,
             "an encoded call is not read back as one frame");
  const auto decoded = tidewarden::wire::decodeCall(again);
  FUZZ_CHECK(decoded && decoded->callId == call->callId && decoded->selector == call->selector &&
                 decoded->argument == call->argument,
             "a re-encoded call decodes to another call: " + printable(body));
}

void checkReply(const std::string& body) {
  const auto reply = tidewarden::wire::decodeReply(body);
  FUZZ_CHECK(reply.has_value() == (body.size() >= 8), "reply decoding disagrees with its length rule");
  if (!reply) return;
  const std::string encoded = tidewarden::wire::encodeReply(*reply);
  FUZZ_CHECK(std::string_view(encoded).substr(4) == body, "a decoded reply re-encodes to other bytes");
}

// The body length announced by the 4-byte prefix at the start of `bytes`.
std::size_t declaredLength(std::string_view bytes) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) length = (length << 8) | static_cast<unsigned char>(bytes[i]);
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = tidewarden::fuzz::asBytes(data, size);
  if (input.empty()) return 0;
  const std::size_t cutCount = std::min<std::size_t>(static_cast<unsigned char>(input[0]) % 16, input.size() - 1);
  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i < cutCount; ++i) cuts.push_back(static_cast<unsigned char>(input[1 + i]) + 1u);
  const std::string_view stream = input.substr(1 + cutCount);

  const Outcome whole = readInPieces(stream, {});
  const Outcome pieces = readInPieces(stream, cuts);
  FUZZ_CHECK(whole.tooLarge == pieces.tooLarge, "the tooLarge verdict depends on how the stream was cut");
  FUZZ_CHECK(whole.frames == pieces.frames, "the frames depend on how the stream was cut: " +
                                                std::to_string(whole.frames.size()) + " vs " +
                                                std::to_string(pieces.frames.size()) + " frames");
  std::size_t consumed = 0;
  for (const std::string& frame : whole.frames) consumed += 4 + frame.size();
  if (whole.tooLarge) checkCallHead(std::string(stream.substr(consumed + 4)));
  if (!whole.tooLarge) {
    FUZZ_CHECK(whole.pending == stream.size() - consumed && pieces.pending == whole.pending,
               "pending bytes do not match the unread rest of the stream");
    FUZZ_CHECK(whole.pending < 4 || whole.pending < 4 + declaredLength(stream.substr(consumed)),
               "the reader holds a whole frame it did not hand out");
  }
  for (const std::string& frame : whole.frames) {
    FUZZ_CHECK(frame.size() <= tidewarden::wire::kMaxFrameBytes, "a frame over the transport limit");
    checkCall(frame);
    checkReply(frame);
  }
  return 0;
}
