// Seeds of the smc_replies target: recorded conversations with the in-memory controller.
#pragma once

#include <filesystem>

namespace tidewarden::fuzz {

// Writes DIRECTORY/smc_replies/<name> for each recorded conversation.
void writeSmcReplySeeds(const std::filesystem::path& directory);

}  // namespace tidewarden::fuzz
