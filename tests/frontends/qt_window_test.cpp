// The Qt window on the offscreen platform, driven through a whole update of
// the simulated controller; closing it in the middle of a run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <memory>
#include <thread>

#include "frontends/qt/main_window.h"
#include "platform/platform.h"
#include "sim/sim.h"
#include "tests/support/services.h"
#include "tests/ui/dialog_probe.h"
#include "ui/FirmwareUpgradeDlg.h"
#include "upgrade/WorkThread.h"

namespace fwu::test {
namespace {

class QtWindow : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "FirmwareUpgrade";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }

    void SetUp() override {
        // Close every box as it opens, noting its caption and text.
        closer_ = new QTimer();
        QObject::connect(closer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxes_.push_back(box->windowTitle().toStdString() + "|" +
                                 box->text().toStdString());
                progressAtBox_ = window_->ProgressValue();
                box->accept();
            } else if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                       dialog != nullptr && dialog != window_.get()) {
                boxes_.push_back(dialog->windowTitle().toStdString());
                // Every line of text fits its control.
                for (const QLabel* label : dialog->findChildren<QLabel*>()) {
                    if (label->text().isEmpty()) continue;
                    if (QFontMetrics(label->font()).horizontalAdvance(label->text()) >
                        label->contentsRect().width())
                        cutTexts_.push_back(label->text().toStdString());
                }
                dialog->accept();
            }
        });
        closer_->start(5);
        window_ = std::make_unique<MainWindow>(&sim_);
        window_->Initialise();
        window_->show();
    }

    void TearDown() override {
        window_.reset();
        delete closer_;
    }

    template <class T>
    T* Child(const char* name) {
        return window_->findChild<T*>(QString::fromLatin1(name));
    }
    std::string Text(const char* name) { return Child<QLabel>(name)->text().toStdString(); }

    bool SpinUntil(const std::function<bool()>& done, int limitMs = 30000) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < limitMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    }

    static QApplication* app_;
    // The platform's own system service: the records embedded in this
    // executable.
    std::unique_ptr<ISystem> system_ = CreatePlatformSystem();
    FakeSleeper sleeper_;
    sim::SimBackend sim_{sim::Config{}};
    ScopedServices services_{{system_.get(), &sleeper_, &sim_, &sim_}};
    std::unique_ptr<MainWindow> window_;
    QTimer* closer_ = nullptr;
    std::vector<std::string> boxes_;
    std::vector<std::string> cutTexts_;
    int progressAtBox_ = -1;
};
QApplication* QtWindow::app_ = nullptr;

TEST_F(QtWindow, LaidOutInDialogUnitsAndShowsTheController) {
    const DialogUnits& du = window_->units();
    EXPECT_EQ(window_->size(), du.Map(0, 0, 268, 249).size());
    EXPECT_EQ(window_->minimumSize(), window_->maximumSize());
    EXPECT_EQ(Child<QProgressBar>("progress")->geometry(), du.Map(31, 172, 206, 18));
    EXPECT_EQ(Child<QPushButton>("update")->geometry(), du.Map(105, 200, 50, 14));
    EXPECT_EQ(Child<QLabel>("packageVersion")->geometry(), du.Map(94, 110, 149, 14));
    EXPECT_EQ(window_->windowTitle().toStdString(), "M27504_Controller");
    EXPECT_EQ(Text("packageVersion"), "V1.40.20");
    EXPECT_EQ(Text("deviceName"), "M27504_Controller");
    EXPECT_EQ(Text("deviceVersion"), "V1.30.10");
    EXPECT_TRUE(Child<QPushButton>("update")->isEnabled());

    window_->dialog().OnSysCommand(kSysCommandAbout, 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0], CAboutDlg::kTitle);
    EXPECT_TRUE(cutTexts_.empty()) << cutTexts_.front();

    // Nothing to write: an empty bar, not Qt's busy indicator (range 0..0).
    auto* bar = Child<QProgressBar>("progress");
    window_->SetProgressRange(0, 0);
    window_->SetProgressPos(5);
    EXPECT_LT(bar->minimum(), bar->maximum());
    EXPECT_EQ(window_->ProgressValue(), 0);
}

TEST_F(QtWindow, ClickRunsAWholeUpdate) {
    Child<QPushButton>("update")->click();
    EXPECT_FALSE(Child<QPushButton>("update")->isEnabled());
    ASSERT_TRUE(SpinUntil([this] { return !boxes_.empty(); })) << "no result box";
    EXPECT_TRUE(boxes_[0].starts_with("Update OK|Update and Verify OK!\nCheckSum:0x")) << boxes_[0];
    // Full when the result shows (the controller's return in normal mode may
    // reset it afterwards).
    EXPECT_EQ(progressAtBox_, Child<QProgressBar>("progress")->maximum());
}

TEST_F(QtWindow, ClosingDuringARunStopsTheWorker) {
    Child<QPushButton>("update")->click();
    ASSERT_TRUE(SpinUntil([this] { return window_->ProgressValue() > 100; }));
    window_->done(0);
    EXPECT_FALSE(Probe(window_->dialog()).m_pWorkThread &&
                 Probe(window_->dialog()).m_pWorkThread->Running());
    EXPECT_TRUE(boxes_.empty());
}

// A stop request (Ctrl+C, SIGTERM) closes the window as its close box does,
// also while a box is open on it: the box closes first, then the window, once
// the handler that opened the box has returned.
TEST_F(QtWindow, StopRequestClosesTheWindowAndTheBoxOpenOnIt) {
    closer_->stop();
    window_->hide();
    StopRequests stops([](const StopRequest&) { ADD_FAILURE() << "ended at once"; });
    bool boxOpen = false;
    bool handlerReturned = false;
    QTimer::singleShot(0, [&] {
        auto* running = dynamic_cast<MainWindow*>(QApplication::activeModalWidget());
        ASSERT_NE(running, nullptr);
        QTimer::singleShot(0, [&, running] {
            boxOpen = QApplication::activeModalWidget() != running;
            // As the stop source's own thread delivers it.
            std::thread([&stops] { stops.Deliver(StopRequest{1, "SIGTERM"}); }).join();
        });
        running->dialog().OnSysCommand(kSysCommandAbout, 0);
        handlerReturned = true;
    });
    // Should the request go unheard: end the test rather than hang.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        ADD_FAILURE() << "the window did not close";
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });
    guard.start(30000);
    RunQtWindow(nullptr, &stops);
    EXPECT_TRUE(boxOpen);
    EXPECT_TRUE(handlerReturned);
}

}  // namespace
}  // namespace fwu::test
