// The tool gate: a folder in the world's folder that simulated tools wait at.
#include "sim/tool_gate.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

namespace tidewarden::sim {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kGateBound = 120s;
constexpr auto kGateLook = 10ms;
constexpr const char* kClosedFile = "closed";
constexpr const char* kWaitingPrefix = "waiting-";

}  // namespace

void toolGateVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() != 1) throw WorldVerbUsageError("tool-gate needs close, open or waiting");
  const fs::path gate = fs::path(directory) / kToolGateFolder;
  if (arguments[0] == "close") {
    fs::create_directories(gate);
    std::ofstream(gate / kClosedFile).close();
  } else if (arguments[0] == "open") {
    fs::remove(gate / kClosedFile);
  } else if (arguments[0] == "waiting") {
    std::error_code absent;
    for (const auto& entry : fs::directory_iterator(gate, absent)) {
      if (!entry.path().filename().string().starts_with(kWaitingPrefix)) continue;
      std::ifstream in(entry.path());
      std::cout << std::string(std::istreambuf_iterator<char>(in), {}) << "\n";
    }
  } else {
    throw WorldVerbUsageError("tool-gate needs close, open or waiting");
  }
}

void awaitUntil(const std::function<bool()>& condition, std::chrono::steady_clock::duration bound) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!condition() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(kGateLook);
}

void awaitToolGate(const std::string& directory, const std::string& invocation) {
  const fs::path gate = fs::path(directory) / kToolGateFolder;
  std::error_code ignored;
  if (!fs::exists(gate / kClosedFile, ignored)) return;
  // Written whole under another name first, so that `waiting` never reads half a line.
  const std::string pid = std::to_string(::getpid());
  const fs::path waiting = gate / (kWaitingPrefix + pid);
  std::ofstream(gate / (".writing-" + pid)) << invocation;
  fs::rename(gate / (".writing-" + pid), waiting, ignored);
  awaitUntil([&] { return !fs::exists(gate / kClosedFile, ignored); }, kGateBound);
  fs::remove(waiting, ignored);
}

}  // namespace tidewarden::sim
