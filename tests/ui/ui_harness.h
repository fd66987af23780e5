// The dialog under test: a host that records every call, the simulated
// controller as HID backend and hot-plug source, a fake system serving the
// shipped records, a sleeper that never sleeps, and a dialog loop in virtual
// time.
#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/pause.h"
#include "device/slots.h"
#include "log/log.h"
#include "platform/system.h"
#include "sim/sim.h"
#include "tests/ui/dialog_probe.h"
#include "ui/FirmwareUpgradeDlg.h"
#include "ui/dialog_loop.h"

namespace fwu::test {

// The records built from the demo manifest the tool ships with; `oneImage`
// keeps only its first image.
struct Records {
    std::vector<std::uint8_t> config;
    std::vector<std::uint8_t> package;
};
const Records& ShippedRecords();
const Records& OneImageRecords();
// The shipped records, decoded.
const PackageConfig& ShippedConfig();
const UpdatePackage& ShippedImages();

class FakeSystem : public ISystem {
  public:
    FakeSystem();
    ~FakeSystem() override;

    std::string ExecutablePath() override { return (dir / "FirmwareUpgrade.exe").string(); }
    std::string ReadIniValue(const std::string&, const std::string&, const std::string& key,
                             std::size_t) override {
        auto it = settings.find(key);
        return it == settings.end() ? "" : it->second;
    }
    std::string ComputerName() override { return computerName; }
    std::optional<std::vector<std::uint8_t>> LoadRecord(int id) override {
        if (id == kConfigRecordId) return records.config;
        if (id == kPackageRecordId) return records.package;
        return std::nullopt;
    }
    LocalTime Now() override { return {2024, 5, 6, 7, 8, 9}; }
    InstanceResult AcquireSingleInstance(const std::string&,
                                         std::unique_ptr<IInstanceGuard>&) override {
        return InstanceResult::NoGuard;
    }

    std::filesystem::path dir;
    std::map<std::string, std::string> settings;
    std::string computerName = "WORKSHOP-7";
    Records records = ShippedRecords();
};

class NoSleep : public ISleeper {
  public:
    void Sleep(std::uint32_t ms) override { total += ms; }
    std::atomic<std::uint64_t> total{0};
};

struct Box {
    std::string text;
    std::string caption;
};

class RecordingHost : public IDialogHost {
  public:
    void SetWindowTitle(const std::string& t) override { title = t; }
    void SetControlText(int id, const std::string& text) override {
        texts[id] = text;
        history[id].push_back(text);
    }
    void EnableUpdateButton(bool enable) override { buttonEnabled = enable; }
    void SetProgressRange(int lower, int upper) override { range = {lower, upper}; }
    void SetProgressPos(int p) override {
        pos = p;
        maxPos = std::max(maxPos, p);
    }
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        RunOutcome /*outcome*/) override {
        boxes.push_back({text, caption});
    }
    void SetTimer(unsigned id, unsigned periodMs) override;
    void KillTimer(unsigned id) override;
    bool IsShiftDown() override { return shift; }
    void ShowAboutBox() override { ++aboutBoxes; }
    bool RegisterHidNotification() override;
    void UnregisterHidNotification() override;

    // Wiring (set by the harness).
    DialogLoop* loop = nullptr;
    CFirmwareUpgradeDlg* dlg = nullptr;
    sim::SimBackend* sim = nullptr;
    std::atomic<bool> deliverHotplug{true};

    std::string title;
    std::map<int, std::string> texts;
    std::map<int, std::vector<std::string>> history;
    bool buttonEnabled = false;
    std::pair<int, int> range{-1, -1};
    int pos = -1;
    int maxPos = 0;
    std::vector<Box> boxes;
    bool shift = false;
    int aboutBoxes = 0;
    int timerSets = 0;
    int timerKills = 0;
    int ticks = 0;  // OnTimer calls delivered
};

class Harness {
  public:
    explicit Harness(std::vector<sim::Config> controllers = {},
                     std::map<std::string, std::string> settings = {},
                     Records records = ShippedRecords());
    ~Harness();

    void Init() { dlg.OnInitDialog(); }
    // Run the loop until one more message box than `before` is shown.
    bool RunUntilBox(std::size_t before);
    std::string LogText() const;

    FakeSystem system;
    NoSleep sleeper;
    sim::SimBackend sim;
    DialogLoop loop{DialogLoop::Clock::Virtual};
    RecordingHost host;
    CFirmwareUpgradeDlg dlg{host};
    LoopUpgradeSink sink{loop, [this](unsigned m, std::uintptr_t w, std::intptr_t l) {
                             return dlg.OnWorkerMessage(m, w, l);
                         }};
};

// A controller like the shipped one, with firmware versions of our choice.
sim::Config Controller(std::uint16_t fw0, std::uint16_t sub0, std::uint16_t fw1,
                       std::uint16_t sub1);

// The success box text the shipped package gives with sub-versions hidden.
std::string ShippedSuccessText();

}  // namespace fwu::test
