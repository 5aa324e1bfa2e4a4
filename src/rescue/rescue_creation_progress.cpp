// JSON coding of RescueCreationProgress.
#include "rescue/rescue_creation_progress.h"

namespace tidewarden::rescue {

namespace json = platform::json;

RescueCreationProgress RescueCreationProgress::fromJson(const nlohmann::json& object) {
  return RescueCreationProgress{
      .step = json::required<std::string>(object, "step"),
      .stepPercent = json::optional<double>(object, "stepPercent"),
      .startedAt = json::required<platform::json::Date>(object, "startedAt"),
      .stepStartedAt = json::required<platform::json::Date>(object, "stepStartedAt"),
      .lastOutputAt = json::optional<platform::json::Date>(object, "lastOutputAt"),
      .lastOutput = json::optional<std::string>(object, "lastOutput"),
      .sampledAt = json::required<platform::json::Date>(object, "sampledAt"),
      .commandRunning = json::required<bool>(object, "commandRunning"),
  };
}

nlohmann::json RescueCreationProgress::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "step", step);
  json::put(object, "stepPercent", stepPercent);
  json::put(object, "startedAt", startedAt);
  json::put(object, "stepStartedAt", stepStartedAt);
  json::put(object, "lastOutputAt", lastOutputAt);
  json::put(object, "lastOutput", lastOutput);
  json::put(object, "sampledAt", sampledAt);
  json::put(object, "commandRunning", commandRunning);
  return object;
}

}  // namespace tidewarden::rescue
