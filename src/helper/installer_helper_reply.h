// The one-shot reply holder a method body carries into asynchronous work.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "platform/once_reply.h"

namespace tidewarden::helper {

// Shared by every step that may answer a call; only the first answer is sent, and a
// call whose holders all let go unanswered is answered with an empty blob.
using InstallerHelperReply = platform::OnceReply<std::string>;

// Encodes `response` and sends it; a response that cannot be encoded (a non-finite
// number) is sent as an empty blob, so the caller still gets its one reply.
void sendJson(InstallerHelperReply& reply, const nlohmann::json& response);

}  // namespace tidewarden::helper
