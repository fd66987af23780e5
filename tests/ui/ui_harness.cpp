#include "tests/ui/ui_harness.h"

#include "base/text.h"
#include "log/log.h"

namespace fwu::test {

void RecordingHost::SetTimer(unsigned id, unsigned periodMs) {
    ++timerSets;
    loop->SetTimer(id + timerOffset, periodMs, [this](unsigned tick) {
        ++ticks;
        dlg->OnTimer(tick - timerOffset);
    });
}

void RecordingHost::KillTimer(unsigned id) {
    ++timerKills;
    loop->KillTimer(id + timerOffset);
}

bool RecordingHost::RegisterHidNotification() {
    // Events reach the dialog on its own thread, in the order they happened.
    IHotplugSource& source = hotplug != nullptr ? *hotplug : *sim;
    return source.Start([this](HotplugEvent event, const std::string& path) {
        if (!deliverHotplug) return;
        loop->Post([this, event, path] { dlg->OnDeviceChange(event, path); });
    });
}

void RecordingHost::UnregisterHidNotification() {
    (hotplug != nullptr ? *hotplug : *sim).Stop();
}

Harness::Harness(std::vector<sim::Config> controllers,
                 const std::map<std::string, std::string>& settings, const Records& records) {
    system.exePath = (dir.path() / "FirmwareUpgrade.exe").string();
    std::string ini = "[Settings]\n";
    for (const auto& [key, value] : settings) ini += key + "=" + value + "\n";
    system.iniFiles[dir.path().string() + kPathSeparator + "LogConfig.ini"] = ini;
    system.records = {{kConfigRecordId, records.config}, {kPackageRecordId, records.package}};
    for (const sim::Config& c : controllers) sim.AddController(c);
    host.loop = &loop;
    host.dlg = &dlg;
    host.sim = &sim;
    dlg.SetWorkerSink(&sink);
}

Harness::~Harness() {
    // A worker blocked in a message to the dialog is released by the loop's
    // stop before the window goes.
    loop.Quit();
    dlg.OnDestroy();
}

bool Harness::RunUntilBox(std::size_t before) {
    return loop.RunUntil([&] { return host.boxes.size() > before; });
}

std::string Harness::LogText() const {
    return ReadFileText(logFilePath());
}

sim::Config Controller(std::uint16_t fw0, std::uint16_t sub0, std::uint16_t fw1,
                       std::uint16_t sub1) {
    sim::Config c;
    c.ics[0].fwVersion = fw0;
    c.ics[0].subVersion = sub0;
    c.ics[1].fwVersion = fw1;
    c.ics[1].subVersion = sub1;
    return c;
}

std::string ShippedSuccessText() {
    const UpdatePackage& images = ShippedImages();
    return Format("Update and Verify OK!\nCheckSum:0x%08X\nRelease:0x140\n",
                  PackageImage(images[0]).checksumSum()) +
           Format("CheckSum:0x%08X\nRelease:0x120\n", PackageImage(images[1]).checksumSum());
}

}  // namespace fwu::test
