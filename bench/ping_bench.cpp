// Ping round trip through the real helper over its socket, beside a bare AF_UNIX ping-pong of the same sizes.
//
// The helper runs in this process on a temporary simulated Mac, built exactly as
// tidewarden-sim builds it. The benchmark's own threads are its clients: the build signs
// this program as "com.ambergrove.Tidewarden" with the development team, so the helper
// (whose own identity is this same file) admits them. The bare ping-pong moves frames of
// the same sizes through a plain listener that does nothing else, so the ratio
// helper/bare is what frame decoding, dispatch, the service and the ping itself add.
// Admission runs once per connection, before the timed loop.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "helper/helper_process.h"
#include "platform/development_anchor.h"
#include "platform/unique_fd.h"
#include "sim/simulated_mac.h"
#include "wire/wire_protocol.h"

namespace {

namespace wire = tidewarden::wire;
using tidewarden::platform::UniqueFd;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kPingSelector = "pingWithReply:";
// Each configuration runs kRepetitions times for at least kMinSecondsPerRepetition, the
// repetitions of all four interleaved in random order: how the scheduler happens to place
// 8 clients and their server threads on the CPUs changes from run to run, and
// interleaving spreads that over both servers instead of handing one of them a lucky or
// an unlucky placement. All samples of all repetitions count. About 6 s in all.
constexpr double kMinSecondsPerRepetition = 0.25;
constexpr int kRepetitions = 4;
constexpr int kConcurrentClients = 8;
constexpr int kListenBacklog = 64;

UniqueFd connectTo(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  if (fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd.reset();
  return fd;
}

// One call and its reply on `fd`. False when the exchange failed.
bool roundTrip(int fd, const std::string& request, std::string& body) {
  return wire::writeFully(fd, request) && wire::readFrame(fd, body) == wire::ReadStatus::frame;
}

// Round-trip times in nanoseconds per configuration, from every thread and every run.
class SampleStore {
 public:
  void add(const std::string& key, const std::vector<double>& samples) {
    std::lock_guard lock(mutex_);
    auto& all = samples_[key];
    all.insert(all.end(), samples.begin(), samples.end());
  }
  // nullopt when nothing was recorded.
  std::optional<std::pair<double, double>> medianAndP99(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = samples_.find(key);
    if (it == samples_.end() || it->second.empty()) return std::nullopt;
    std::vector<double>& values = it->second;
    std::sort(values.begin(), values.end());
    const std::size_t p99 = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(values.size()))) - 1;
    return std::make_pair(values[values.size() / 2], values[p99]);
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::vector<double>> samples_;
};

// A listener that answers every frame it reads with one fixed reply frame: the floor
// for a round trip of these sizes over AF_UNIX with one thread per connection.
class BarePingServer {
 public:
  BarePingServer(const std::string& path, std::string replyFrame) : replyFrame_(std::move(replyFrame)) {
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (!listener_ || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), kListenBacklog) != 0) {
      std::perror("bare ping server");
      std::exit(1);
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~BarePingServer() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
    std::lock_guard lock(mutex_);
    for (std::thread& connection : connections_) connection.join();
  }

 private:
  void acceptLoop() {
    for (;;) {
      const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;  // shut down
      }
      std::lock_guard lock(mutex_);
      connections_.emplace_back([this, connection = UniqueFd(fd)] {
        std::string body;
        while (wire::readFrame(connection.get(), body) == wire::ReadStatus::frame) {
          if (!wire::writeFully(connection.get(), replyFrame_)) break;
        }
      });
    }
  }

  const std::string replyFrame_;
  UniqueFd listener_;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> connections_;
};

struct Setup {
  std::string helperSocket;
  std::string bareSocket;
  SampleStore samples;
};
Setup* setup = nullptr;

void pingLoop(benchmark::State& state, const std::string& socketPath, const std::string& key) {
  std::vector<double> samples;
  std::uint64_t callId = 0;
  std::string body;
  // The first call waits for admission. It is made before the timed loop, which every
  // thread enters together, so no client is timed while the helper admits another. A
  // thread that fails still enters the loop (it runs no iteration), so none waits for it.
  UniqueFd fd = connectTo(socketPath);
  if (!fd) {
    state.SkipWithError("cannot connect");
  } else if (!roundTrip(fd.get(), wire::encodeCall({++callId, kPingSelector, ""}), body)) {
    state.SkipWithError("the connection failed (not admitted?)");
  }
  for (auto _ : state) {
    const std::string request = wire::encodeCall({++callId, kPingSelector, ""});
    const auto start = SteadyClock::now();
    const bool ok = roundTrip(fd.get(), request, body);
    const auto end = SteadyClock::now();
    if (!ok) {
      state.SkipWithError("the connection failed");
      break;
    }
    samples.push_back(std::chrono::duration<double, std::nano>(end - start).count());
  }
  setup->samples.add(key + "/" + std::to_string(state.threads()), samples);
}

void BM_HelperPing(benchmark::State& state) { pingLoop(state, setup->helperSocket, "helper"); }
void BM_BarePing(benchmark::State& state) { pingLoop(state, setup->bareSocket, "bare"); }

void configure(benchmark::internal::Benchmark* benchmark) {
  benchmark->Threads(1)
      ->Threads(kConcurrentClients)
      ->UseRealTime()
      ->MinTime(kMinSecondsPerRepetition)
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true);
}
BENCHMARK(BM_HelperPing)->Apply(configure);
BENCHMARK(BM_BarePing)->Apply(configure);

void printRatios() {
  std::printf("\nping round trip per call, microseconds (all samples of all clients)\n");
  std::printf("%-8s %14s %14s %8s %14s %14s %8s\n", "clients", "helper median", "bare median", "ratio",
              "helper p99", "bare p99", "ratio");
  for (int clients : {1, kConcurrentClients}) {
    const auto helper = setup->samples.medianAndP99("helper/" + std::to_string(clients));
    const auto bare = setup->samples.medianAndP99("bare/" + std::to_string(clients));
    if (!helper || !bare) {
      std::printf("%-8d (no samples)\n", clients);
      continue;
    }
    std::printf("%-8d %14.1f %14.1f %8.1f %14.1f %14.1f %8.1f\n", clients, helper->first / 1000,
                bare->first / 1000, helper->first / bare->first, helper->second / 1000, bare->second / 1000,
                helper->second / bare->second);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Interleaving is on unless the command line says otherwise (a later flag wins).
  std::vector<char*> arguments(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  arguments.insert(arguments.begin() + 1, interleave);
  argc = static_cast<int>(arguments.size());
  argv = arguments.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  char pattern[] = "/tmp/tidewarden-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string workDir = pattern;
  int status = 0;
  {
    Setup state;
    setup = &state;
    tidewarden::sim::SimulatedMac mac(workDir + "/mac", tidewarden::platform::developmentTrustAnchors());
    tidewarden::helper::HelperProcess helper(mac.platform(), mac.socketPath());
    state.helperSocket = mac.socketPath();
    state.bareSocket = workDir + "/bare.sock";

    // One ping first: it proves this program is admitted and gives the reply size
    // that the bare server answers with.
    std::string body;
    UniqueFd probe = connectTo(state.helperSocket);
    if (!probe || !roundTrip(probe.get(), wire::encodeCall({1, kPingSelector, ""}), body)) {
      std::fprintf(stderr,
                   "tidewarden-bench-ping: the helper did not answer this program's ping; is it signed by the "
                   "development team as com.ambergrove.Tidewarden?\n");
      status = 1;
    } else {
      probe.reset();
      const std::optional<wire::ReplyFrame> reply = wire::decodeReply(body);
      std::printf("helper reply (%zu bytes): %s\n", reply ? reply->payload.size() : 0,
                  reply ? reply->payload.c_str() : "(malformed)");
      BarePingServer bare(state.bareSocket, wire::encodeReply({1, reply ? reply->payload : std::string()}));
      benchmark::RunSpecifiedBenchmarks();
      printRatios();
    }
    setup = nullptr;
  }
  benchmark::Shutdown();
  std::filesystem::remove_all(workDir);
  return status;
}
