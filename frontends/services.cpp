#include "frontends/services.h"

#include <algorithm>
#include <vector>

#include "platform/platform.h"

namespace fwu {

sim::Config MakeSimConfig(const Options& options, const PackageConfig* package, std::string& error,
                          unsigned unit) {
    SimStart start = options.simulate;
    bool protocol1 = options.simProtocol1;
    std::vector<std::string> faults = options.faults;
    for (const SimUnitSetting& own : options.simUnits) {
        if (own.unit != unit) continue;
        if (const auto mode = ParseSimStart(own.setting)) {
            start = *mode;
        } else if (own.setting == "protocol=1.0" || own.setting == "protocol=2.0") {
            protocol1 = own.setting == "protocol=1.0";
        } else {
            faults.push_back(own.setting);
        }
    }
    sim::Config config;
    config.latencyUs = options.simFast ? 0 : kSimLatencyUs;
    config.generation = protocol1 ? sim::Generation::V1_0 : sim::Generation::V2_0;
    config.startInBootloader = start == SimStart::Bootloader;
    if (start == SimStart::Current && package != nullptr) {
        // The firmware the package carries is already in the flash.
        for (sim::IcConfig& ic : config.ics) {
            for (std::uint32_t k = 0; k < package->imageCount && k < kMaxImages; ++k) {
                if (package->updateId[k] != ic.updateId) continue;
                ic.fwVersion = package->fwVersion(static_cast<int>(k));
                ic.subVersion = package->subVersion(static_cast<int>(k));
            }
        }
    }
    for (const std::string& text : faults) {
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
    std::vector<sim::Config> configs;
    for (unsigned unit = 0; unit < std::max(options.simCount, 1u); ++unit) {
        std::string error;
        configs.push_back(MakeSimConfig(options, package ? &*package : nullptr, error, unit));
        if (!error.empty()) return error;
    }
    // Numbered in this order: controller K is at "simK" for as long as it lives.
    sim_ = std::make_unique<sim::SimBackend>();
    for (const sim::Config& config : configs) sim_->AddController(config);
    SetHidBackend(sim_.get());
    SetRumble(sim_.get());
    hotplug_ = sim_.get();
    return {};
}

}  // namespace fwu
