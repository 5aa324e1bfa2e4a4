// Seeds of the smc_replies target: the answers of the in-memory controller to the target's own conversation,
// recorded in the target's input format, so each seed replays one realistic path.
#include "fuzz/replay/smc_seeds.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "fuzz/smc_conversation.h"
#include "support/fake_smc.h"
#include "support/test_platform.h"

namespace tidewarden::fuzz {
namespace {

// Passes every call to `inner` and writes each answer as the target reads it: the
// reply size (0xFF for a failed driver call), then the 80-byte record.
class RecordingController final : public platform::SmcClient {
 public:
  RecordingController(testing::FakeSmc& inner, std::size_t replySize) : inner_(inner), replySize_(replySize) {}

  OpenResult open() override { return {OpenStatus::opened, std::make_unique<Connection>(*this)}; }

  std::string recorded;
  int writes = 0;

 private:
  struct Connection final : platform::SmcConnection {
    explicit Connection(RecordingController& owner) : owner(owner) {}
    platform::SmcCallResult call(const platform::SmcParameterRecord& input) override {
      platform::SmcCallResult result = owner.inner_.answer(input);
      owner.writes += input[fan::smc_record::kCommandOffset] == fan::smc_record::kWriteValue;
      if (result.kernelReturn != 0) {
        owner.recorded.push_back('\xFF');
        return result;
      }
      result.outputSize = std::min(result.outputSize, owner.replySize_);
      std::fill(result.output.begin() + static_cast<std::ptrdiff_t>(result.outputSize), result.output.end(), 0);
      owner.recorded.push_back(static_cast<char>(result.outputSize));
      owner.recorded.append(result.output.begin(), result.output.end());
      return result;
    }
    RecordingController& owner;
  };

  testing::FakeSmc& inner_;
  std::size_t replySize_;
};

void record(const std::filesystem::path& directory, const std::string& name, testing::FakeSmc& smc,
            std::size_t replySize = platform::kSmcParameterRecordSize) {
  RecordingController controller(smc, replySize);
  testing::ManualClock clock;
  converse(controller, clock, [&] { return controller.writes; });
  std::filesystem::create_directories(directory / "smc_replies");
  std::ofstream out(directory / "smc_replies" / name, std::ios::binary | std::ios::trunc);
  out.write(controller.recorded.data(), static_cast<std::streamsize>(controller.recorded.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write smc_replies/%s\n", name.c_str());
    std::exit(1);
  }
}

}  // namespace

void writeSmcReplySeeds(const std::filesystem::path& directory) {
  testing::FakeSmc intel;
  intel.addFan(0, "fpe2", 1800, 1200, 5700, 1800, 0);
  intel.addFan(1, "fpe2", 2000, 1200, 6000, 2000, 0);
  intel.keys["TC0P"] = testing::FakeSmc::sp78(47.5);
  record(directory, "fpe2-fans-acquired-targeted-released", intel);

  testing::FakeSmc apple;
  apple.addFan(0, "flt ", 1200, 1200, 4900, 1200, 0);
  apple.keys["Tp09"] = testing::FakeSmc::flt(52.25);
  apple.keys["Ftst"] = testing::FakeSmc::ui8(0);
  record(directory, "flt-fan-acquired-targeted-released", apple);

  // A fan another tool already holds: no write may follow.
  testing::FakeSmc held;
  held.addFan(0, "flt ", 3000, 1200, 4900, 3000, 1);
  record(directory, "fan-already-manual", held);

  testing::FakeSmc empty;
  record(directory, "every-key-unknown", empty);

  testing::FakeSmc cut;
  cut.addFan(0, "fpe2", 1800, 1200, 5700, 1800, 0);
  record(directory, "replies-cut-to-79-bytes", cut, platform::kSmcParameterRecordSize - 1);
}

}  // namespace tidewarden::fuzz
