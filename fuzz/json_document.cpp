// Fuzz target: the strict JSON parser and the generic record decoder, on two
// representative requests (fan control: enumerations, an integer-keyed map, doubles;
// Rescue Drive start: nested records, arrays, dates, 64-bit integers).
//
// A document that parses encodes, the encoding parses to an equal value, and after that
// one round the text no longer changes. A request that decodes goes through encodeValue, encode and
// decodeDocument back to an equal request. A refusal is a DecodeError whose message is
// UTF-8 text, since it travels in a reply.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "fan/fan_messages.h"
#include "fuzz/fuzz_check.h"
#include "platform/json_codec.h"
#include "rescue/rescue_messages.h"

namespace {

namespace json = tidewarden::platform::json;
using tidewarden::fuzz::printable;

void checkMessage(const json::DecodeError& error) {
  const std::string message = error.what();
  FUZZ_CHECK(message.rfind("The request could not be read: ", 0) == 0, "unexpected refusal text: " + message);
  try {
    (void)nlohmann::json(message).dump();  // throws on invalid UTF-8
  } catch (const nlohmann::json::exception&) {
    FUZZ_CHECK(false, "a refusal message is not UTF-8: " + printable(message));
  }
}

std::optional<nlohmann::json> checkDocument(std::string_view bytes) {
  nlohmann::json value;
  try {
    value = json::parse(bytes);
  } catch (const json::DecodeError& error) {
    checkMessage(error);
    return std::nullopt;
  }
  const std::optional<std::string> text = json::encode(value);
  FUZZ_CHECK(text, "a parsed document does not encode: " + printable(bytes));
  nlohmann::json again;
  try {
    again = json::parse(*text);
  } catch (const json::DecodeError& error) {
    FUZZ_CHECK(false, std::string("an encoded document does not parse: ") + error.what() + "\n  " + printable(*text));
  }
  FUZZ_CHECK(again == value, "an encoded document parses to another value: " + printable(bytes) + " -> " +
                                 printable(*text));
  // A literal that rounds to an integral double ("1e-400" to 0.0) stays floating point
  // and is written "0.0", which then parses as the integer 0: equal values, and from
  // then on the same text.
  const std::optional<std::string> settled = json::encode(again);
  FUZZ_CHECK(settled && json::encode(json::parse(*settled)) == settled,
             "encoding does not settle: " + printable(*text));
  return value;
}

template <class Request>
void checkRequest(std::string_view bytes, const char* typeName) {
  Request request;
  try {
    request = json::decodeDocument<Request>(bytes);
  } catch (const json::DecodeError& error) {
    checkMessage(error);
    return;
  }
  const std::optional<std::string> text = json::encode(json::encodeValue(request));
  FUZZ_CHECK(text, std::string("a decoded ") + typeName + " does not encode");
  Request again;
  try {
    again = json::decodeDocument<Request>(*text);
  } catch (const json::DecodeError& error) {
    FUZZ_CHECK(false, std::string("an encoded ") + typeName + " does not decode: " + error.what() + "\n  " +
                          printable(*text));
  }
  FUZZ_CHECK(again == request, std::string("a ") + typeName + " changed on its way round: " + printable(bytes) +
                                   " -> " + printable(*text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  if (!checkDocument(bytes)) return 0;
  checkRequest<tidewarden::fan::FanControlRequest>(bytes, "FanControlRequest");
  checkRequest<tidewarden::rescue::RescueDriveStartRequest>(bytes, "RescueDriveStartRequest");
  return 0;
}
