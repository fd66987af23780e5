// The process-wide services the tool runs on: system services, sleeper, HID
// backend, hot-plug and rumble, either the platform's or the simulated
// controller's (--simulate).
#pragma once

#include <memory>
#include <string>

#include "base/pause.h"
#include "frontends/options.h"
#include "package/package.h"
#include "platform/hid.h"
#include "platform/system.h"
#include "sim/sim.h"

namespace fwu {

// Transfer latency of the simulated controller, like a real one's.
inline constexpr std::uint32_t kSimLatencyUs = 1000;
// --simulate-fast divides every pause by this.
inline constexpr std::uint32_t kFastPauseDivisor = 50;

// Pauses of another sleeper, shortened `divisor` times (demos and tests).
class ShortenedSleeper : public ISleeper {
  public:
    ShortenedSleeper(std::unique_ptr<ISleeper> inner, std::uint32_t divisor)
        : inner_(std::move(inner)), divisor_(divisor == 0 ? 1 : divisor) {}
    void Sleep(std::uint32_t ms) override {
        if (ms / divisor_ > 0) inner_->Sleep(ms / divisor_);
    }

  private:
    std::unique_ptr<ISleeper> inner_;
    std::uint32_t divisor_;
};

// Simulated controller `unit` (from 0) as the options ask for it: the
// settings for every controller, then its own (--simulate-unit). `package`
// (may be null) gives the package's versions for SimStart::Current. `error`
// is set when a setting or fault name is not understood.
sim::Config MakeSimConfig(const Options& options, const PackageConfig* package, std::string& error,
                          unsigned unit = 0);

class Services {
  public:
    Services() = default;
    ~Services();  // clears the process-wide references it set
    Services(const Services&) = delete;
    Services& operator=(const Services&) = delete;

    // System services only (enough for --package-info).
    void InstallSystem(std::unique_ptr<ISystem> system);
    // Sleeper, HID, hot-plug and rumble; "" on success, else what went wrong.
    std::string InstallDevices(const Options& options);

    IHotplugSource* Hotplug() { return hotplug_; }
    bool Simulated() const { return sim_ != nullptr; }

  private:
    std::unique_ptr<ISystem> system_;
    std::unique_ptr<ISleeper> sleeper_;
    std::unique_ptr<sim::SimBackend> sim_;
    std::unique_ptr<IHidBackend> hid_;
    std::unique_ptr<IHotplugSource> platformHotplug_;
    std::unique_ptr<IRumble> rumble_;
    IHotplugSource* hotplug_ = nullptr;
};

}  // namespace fwu
