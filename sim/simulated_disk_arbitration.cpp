// Disk Arbitration of the simulated Mac: descriptions from the world's disks, mount requests from world events.
#include "sim/simulated_disk_arbitration.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "platform/dispatch_queue.h"

namespace tidewarden::sim {

// One registered approval callback. `mutex` is held while it is asked, so that
// unregistering waits for a question in progress.
struct SimulatedDiskArbitration::Registration {
  std::mutex mutex;
  bool active = true;
  platform::SerialQueue* queue = nullptr;
  platform::DiskArbitrationSession::MountApproval approval;
};

namespace {

std::optional<std::string> nonEmpty(const std::string& text) {
  return text.empty() ? std::nullopt : std::optional(text);
}

platform::DiskDescription ofDisk(const WorldDisk& disk) {
  return {disk.identifier, std::nullopt, disk.size, disk.registryPath, std::nullopt};
}

}  // namespace

class SimulatedDiskArbitrationSession final : public platform::DiskArbitrationSession {
 public:
  SimulatedDiskArbitrationSession(SimulatedDiskArbitration& owner, platform::SerialQueue& queue)
      : owner_(owner), queue_(queue) {}
  ~SimulatedDiskArbitrationSession() override { unregisterMountApproval(); }

  std::optional<platform::DiskDescription> describe(const std::string& bsdName) override {
    return lookUp(bsdName, /*whole=*/false);
  }
  std::optional<platform::DiskDescription> describeWholeDisk(const std::string& bsdName) override {
    return lookUp(bsdName, /*whole=*/true);
  }

  bool registerMountApproval(MountApproval approval) override {
    if (registration_) return false;
    registration_ = std::make_shared<SimulatedDiskArbitration::Registration>();
    registration_->queue = &queue_;
    registration_->approval = std::move(approval);
    std::lock_guard lock(owner_.mutex_);
    owner_.registrations_.push_back(registration_);
    return true;
  }

  void unregisterMountApproval() override {
    if (!registration_) return;
    const std::shared_ptr<SimulatedDiskArbitration::Registration> registration = std::move(registration_);
    {
      std::lock_guard lock(owner_.mutex_);
      std::erase(owner_.registrations_, registration);
    }
    // Waits for a question in progress; none starts after this.
    std::lock_guard lock(registration->mutex);
    registration->active = false;
    registration->approval = nullptr;
  }

 private:
  std::optional<platform::DiskDescription> lookUp(const std::string& bsdName, bool whole) {
    WorldDisks disks;
    try {
      disks = World::read(owner_.worldDirectory_).disks;
    } catch (const std::exception&) {
      return std::nullopt;
    }
    for (const WorldDisk& disk : disks.disks) {
      if (disk.identifier == bsdName) return ofDisk(disk);
      for (const WorldPartition& part : disk.partitions) {
        if (part.identifier != bsdName) continue;
        if (whole) return ofDisk(disk);
        return platform::DiskDescription{part.identifier, nonEmpty(part.partitionUUID), part.size,
                                         disk.registryPath + "/" + part.identifier, part.mountPoint};
      }
    }
    for (const WorldApfsContainer& container : disks.containers) {
      for (const WorldApfsVolume& volume : container.volumes) {
        if (volume.identifier != bsdName) continue;
        if (whole) return platform::DiskDescription{container.reference, std::nullopt, std::nullopt, std::nullopt,
                                                    std::nullopt};
        return platform::DiskDescription{volume.identifier, nonEmpty(volume.uuid), volume.capacityInUse, std::nullopt,
                                         volume.mountPoint};
      }
    }
    return std::nullopt;
  }

  SimulatedDiskArbitration& owner_;
  platform::SerialQueue& queue_;
  std::shared_ptr<SimulatedDiskArbitration::Registration> registration_;
};

SimulatedDiskArbitration::SimulatedDiskArbitration(std::string worldDirectory)
    : worldDirectory_(std::move(worldDirectory)), cache_(worldDirectory_), thread_([this] { deliver(); }) {}

SimulatedDiskArbitration::~SimulatedDiskArbitration() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::unique_ptr<platform::DiskArbitrationSession> SimulatedDiskArbitration::createSession(platform::SerialQueue& queue) {
  return std::make_unique<SimulatedDiskArbitrationSession>(*this, queue);
}

void SimulatedDiskArbitration::deliver() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, kPollInterval, [this] { return stopping_; })) {
    lock.unlock();
    // A request leaves the world only together with its outcome: a simulator stopped
    // in between asks again after its restart.
    std::vector<WorldMountRequest> requests;
    try {
      requests = cache_.read([](const WorldRecord& world) { return world.disks.mountRequests; });
    } catch (const std::exception&) {
      requests.clear();
    }
    for (const WorldMountRequest& request : requests) answer(request);
    lock.lock();
  }
}

void SimulatedDiskArbitration::answer(const WorldMountRequest& request) {
  std::vector<std::shared_ptr<Registration>> registrations;
  {
    std::lock_guard lock(mutex_);
    registrations = registrations_;
  }
  std::optional<platform::MountDissent> dissent;
  for (const std::shared_ptr<Registration>& registration : registrations) {
    std::lock_guard lock(registration->mutex);
    if (!registration->active) continue;
    registration->queue->sync([&] { dissent = registration->approval(request.identifier); });
    if (dissent) break;
  }
  try {
    World::update(worldDirectory_, [&](WorldRecord& world) {
      const auto pending = std::find(world.disks.mountRequests.begin(), world.disks.mountRequests.end(), request);
      if (pending == world.disks.mountRequests.end()) return;
      world.disks.mountRequests.erase(pending);
      WorldMountOutcome outcome{request.id, request.identifier, false, dissent ? dissent->message : ""};
      if (!dissent) {
        try {
          setWorldMountPoint(world.disks, request.identifier, request.mountPoint);
          outcome.mounted = true;
        } catch (const WorldError& error) {
          outcome.refusal = error.what();
        }
      }
      world.disks.mountOutcomes.push_back(std::move(outcome));
    });
  } catch (const std::exception&) {
  }
}

}  // namespace tidewarden::sim
