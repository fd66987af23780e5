// The Qt 6 window of the tool: the controls of the main dialog at their
// places, driven by the dialog logic CFirmwareUpgradeDlg through IDialogHost.
// Every dialog handler runs on the window's (GUI) thread: hot-plug events are
// queued to it, and the worker's messages reach it as blocking queued calls.
#pragma once

#include <QDialog>
#include <QRect>
#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "frontends/stop_requests.h"
#include "platform/hid.h"
#include "ui/host.h"
#include "upgrade/context.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class QContextMenuEvent;

namespace fwu {

class CFirmwareUpgradeDlg;

// Dialog units to pixels with the font's base units (x * baseX / 4,
// y * baseY / 8), baseX the average character width, baseY the font height.
struct DialogUnits {
    int baseX = 0;
    int baseY = 0;
    QRect Map(int x, int y, int w, int h) const {
        return QRect(x * baseX / 4, y * baseY / 8, w * baseX / 4, h * baseY / 8);
    }
};

// The icon of the window and of the about box, drawn (no image files needed).
QIcon ApplicationIcon();

class MainWindow : public QDialog, public IDialogHost {
  public:
    // `hotplug` delivers arrivals and removals; null: none are seen.
    explicit MainWindow(IHotplugSource* hotplug, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The dialog's initialisation; call once before the window is shown.
    void Initialise();
    // Stop the worker and the dialog; idempotent. Called when the window
    // closes and from the destructor.
    void ShutDown();
    // Close the window as its close box does; a box open on top of it
    // (message, about) is closed first and the window once the handler that
    // opened the box has returned. On the window's thread.
    void RequestClose();

    CFirmwareUpgradeDlg& dialog() { return *dialog_; }
    const DialogUnits& units() const { return units_; }
    // The bar's position once the pending update is applied.
    int ProgressValue();

    // IDialogHost
    void SetWindowTitle(const std::string& title) override;
    void SetControlText(int id, const std::string& text) override;
    void EnableUpdateButton(bool enable) override;
    void SetProgressRange(int lower, int upper) override;
    void SetProgressPos(int pos) override;
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        RunOutcome outcome) override;
    void SetTimer(unsigned id, unsigned periodMs) override;
    void KillTimer(unsigned id) override;
    bool IsShiftDown() override;
    void ShowAboutBox() override;
    bool RegisterHidNotification() override;
    void UnregisterHidNotification() override;

    void done(int result) override;

  protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    class Sink;

    void BuildControls();
    void ApplyProgress();
    QLabel* LabelFor(int id) const;

    IHotplugSource* hotplug_;
    DialogUnits units_;
    QLabel* deviceName_ = nullptr;
    QLabel* deviceVersion_ = nullptr;
    QLabel* packageVersion_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* update_ = nullptr;
    std::map<unsigned, QTimer*> timers_;

    bool emptyRange_ = false;  // the bar is held empty
    int pendingPos_ = 0;
    bool progressScheduled_ = false;
    bool hotplugRunning_ = false;
    bool initialised_ = false;
    bool shutDown_ = false;

    // Set when the window closes: worker messages and events are dropped.
    std::atomic<bool> closing_{false};

    std::unique_ptr<Sink> sink_;
    std::unique_ptr<CFirmwareUpgradeDlg> dialog_;
};

// Runs the Qt window modally on an existing QApplication; returns when it
// closes. A stop request from `stops` (may be null) closes it.
void RunQtWindow(IHotplugSource* hotplug, StopRequests* stops = nullptr);

// A modal warning box with an OK button (the single-instance refusal).
void ShowQtWarning(const std::string& text, const std::string& caption);

}  // namespace fwu
