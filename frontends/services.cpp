#include "frontends/services.h"

#include "platform/platform.h"

namespace fwu {

sim::Config MakeSimConfig(const Options& options, const PackageConfig* package,
                          std::string& error) {
    sim::Config config;
    config.latencyUs = options.simFast ? 0 : kSimLatencyUs;
    config.generation = options.simProtocol1 ? sim::Generation::V1_0 : sim::Generation::V2_0;
    config.startInBootloader = options.simulate == SimStart::Bootloader;
    if (options.simulate == SimStart::Current && package != nullptr) {
        // The firmware the package carries is already in the flash.
        for (sim::IcConfig& ic : config.ics) {
            for (std::uint32_t k = 0; k < package->imageCount && k < kMaxImages; ++k) {
                if (package->updateId[k] != ic.updateId) continue;
                ic.fwVersion = package->fwVersion(static_cast<int>(k));
                ic.subVersion = package->subVersion(static_cast<int>(k));
            }
        }
    }
    for (const std::string& text : options.faults) {
        const std::optional<sim::Fault> fault = sim::ParseFault(text);
        if (!fault) {
            error = "unknown fault of the simulated controller: " + text;
            return config;
        }
        config.faults.push_back(*fault);
    }
    return config;
}

Services::~Services() {
    SetHidBackend(nullptr);
    SetRumble(nullptr);
    SetSleeper(nullptr);
    SetSystem(nullptr);
}

void Services::InstallSystem(std::unique_ptr<ISystem> system) {
    system_ = std::move(system);
    SetSystem(system_.get());
}

std::string Services::InstallDevices(const Options& options) {
    sleeper_ = CreatePlatformSleeper();
    if (options.simulate != SimStart::Off && options.simFast)
        sleeper_ = std::make_unique<ShortenedSleeper>(std::move(sleeper_), kFastPauseDivisor);
    SetSleeper(sleeper_.get());

    if (options.simulate == SimStart::Off) {
        hid_ = CreatePlatformHidBackend();
        platformHotplug_ = CreatePlatformHotplug();
        rumble_ = CreatePlatformRumble();
        SetHidBackend(hid_.get());
        SetRumble(rumble_.get());
        hotplug_ = platformHotplug_.get();
        return {};
    }

    std::optional<PackageConfig> package;
    if (system_ != nullptr) {
        if (auto record = system_->LoadRecord(kConfigRecordId))
            package = PackageConfig::Parse(*record);
    }
    std::string error;
    const sim::Config config = MakeSimConfig(options, package ? &*package : nullptr, error);
    if (!error.empty()) return error;
    sim_ = std::make_unique<sim::SimBackend>(config);
    SetHidBackend(sim_.get());
    SetRumble(sim_.get());
    hotplug_ = sim_.get();
    return {};
}

}  // namespace fwu
