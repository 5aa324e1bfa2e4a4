// Fuzz target: a Rescue Drive start request as the service and the coordinator accept it.
// A request that decodes is either refused by one of the two approval layers with its
// fixed sentence, or carries the current protocol, a confirmed scope equal to its row's,
// and a row that may be chosen; written again, it reads back as the same request.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/json_codec.h"
#include "rescue/rescue_destination_approval.h"
#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace rescue = tidewarden::rescue;
  namespace json = tidewarden::platform::json;
  using tidewarden::fuzz::printable;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  rescue::RescueDriveStartRequest request;
  try {
    request = json::decodeDocument<rescue::RescueDriveStartRequest>(bytes);
  } catch (const json::DecodeError&) {
    return 0;
  }
  bool accepted = true;
  try {
    rescue::acceptStartRequestAtService(request);
    rescue::acceptStartRequest(request);
  } catch (const rescue::RescueDestinationError& error) {
    const std::string text = error.what();
    FUZZ_CHECK(text == rescue::kScopeApprovalMissingMessage || text == rescue::kFreshApprovalRequiredMessage,
               "unexpected refusal: " + text);
    accepted = false;
  }
  if (accepted) {
    FUZZ_CHECK(request.destinationProtocol == rescue::kRescueDestinationProtocolVersion &&
                   request.confirmedScope == request.destination.scope &&
                   request.destination.scope != rescue::RescueDestinationScope::sharedAPFSVolume &&
                   !request.destination.unavailableReason,
               "accepted an approval that does not hold: " + printable(bytes));
  }
  const auto written = json::encode(json::encodeValue(request));
  FUZZ_CHECK(written.has_value(), "a decoded request cannot be written again: " + printable(bytes));
  FUZZ_CHECK(json::decodeDocument<rescue::RescueDriveStartRequest>(*written) == request,
             "a rewritten request reads back differently: " + printable(*written));
  return 0;
}
