// The dialog under test: a host that records every call, the simulated
// controller as HID backend and hot-plug source, a fake system serving the
// shipped records and the settings file beside the executable, a sleeper that
// never sleeps, and a dialog loop in virtual time.
#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "device/slots.h"
#include "sim/sim.h"
#include "tests/support/files.h"
#include "tests/support/package.h"
#include "tests/support/services.h"
#include "tests/ui/dialog_probe.h"
#include "ui/FirmwareUpgradeDlg.h"
#include "ui/dialog_loop.h"

namespace fwu::test {

struct Box {
    std::string text;
    std::string caption;
    RunOutcome outcome = RunOutcome::None;
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
                        RunOutcome outcome) override {
        boxes.push_back({text, caption, outcome});
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
    IHotplugSource* hotplug = nullptr;  // instead of the simulated controller's own
    unsigned timerOffset = 0;           // several dialogs on one loop: distinct timers
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
    // `settings`: the keys and values of the settings file's "Settings"
    // section; `records`: what the executable has embedded.
    explicit Harness(std::vector<sim::Config> controllers = {},
                     const std::map<std::string, std::string>& settings = {},
                     const Records& records = ShippedRecords());
    ~Harness();

    void Init() { dlg.OnInitDialog(); }
    // Run the loop until one more message box than `before` is shown.
    bool RunUntilBox(std::size_t before);
    std::string LogText() const;

    ScratchDir dir{"fwu_ui_"};  // the executable and its log file are here
    FakeSystem system;
    FakeSleeper sleeper;
    sim::SimBackend sim;
    ScopedServices services{{&system, &sleeper, &sim, &sim}};
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
