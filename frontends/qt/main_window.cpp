#include "frontends/qt/main_window.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "ui/FirmwareUpgradeDlg.h"
#include "upgrade/WorkThread.h"

namespace fwu {
namespace {

QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// Size of the main dialog and of the about box, in dialog units.
constexpr int kDialogWidth = 268;
constexpr int kDialogHeight = 249;
constexpr int kAboutWidth = 170;
constexpr int kAboutHeight = 62;

// The font the templates are laid out for: the system's dialog font at 9 points.
QFont DialogFont() {
    QFont font = QApplication::font();
    font.setPointSize(9);
    return font;
}

// The average character width is taken over the 52 Latin letters, rounded
// up, as dialog templates measure it.
DialogUnits UnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogUnits{std::max(1, (letters + 51) / 52), std::max(1, metrics.height())};
}

// A right-aligned static control. A font wider than the one the template was
// drawn for would cut the text off; the control then grows to the left and
// keeps its right edge and its vertical centre.
QLabel* MakeRightStatic(QWidget* parent, const char* text, QRect rect) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    const QFontMetrics metrics(label->font());
    const int width = std::max(rect.width(), metrics.horizontalAdvance(label->text()) + 1);
    const int height = std::max(rect.height(), metrics.height());
    label->setGeometry(rect.right() + 1 - width, rect.center().y() - height / 2, width, height);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

// A sunken, vertically centred static control.
QLabel* MakeSunken(QWidget* parent, const char* name, const char* text, QRect rect) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(QString::fromUtf8(name));
    label->setGeometry(rect);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setIndent(2);
    return label;
}

void MakeGroup(QWidget* parent, const char* title, QRect rect) {
    auto* group = new QGroupBox(QString::fromUtf8(title), parent);
    group->setGeometry(rect);
    group->lower();
}

}  // namespace

QIcon ApplicationIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1E, 0x5A, 0xA8));
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
    // A downward arrow onto a bar: firmware going into the device.
    p.setBrush(Qt::white);
    const QPointF arrow[] = {{12, 5}, {20, 5}, {20, 14}, {25, 14}, {16, 23}, {7, 14}, {12, 14}};
    p.drawPolygon(arrow, 7);
    p.drawRect(QRectF(7, 25, 18, 3));
    p.end();
    return QIcon(pixmap);
}

// The worker's messages: each is queued to the GUI thread and the worker
// waits until the dialog has handled it (a blocking queued call). The wait is
// on our own condition, so that closing the window releases a waiting worker
// at once: a message still queued then is dropped.
class MainWindow::Sink : public IUpgradeSink {
  public:
    explicit Sink(MainWindow& window) : window_(window) {}

    std::intptr_t SendUpgradeMessage(unsigned msg, std::uintptr_t wParam,
                                     std::intptr_t lParam) override {
        if (QThread::currentThread() == window_.thread()) {
            // Already on the GUI thread: queuing would wait on itself.
            return window_.closing_ ? 0 : window_.dialog_->OnWorkerMessage(msg, wParam, lParam);
        }
        auto call = std::make_shared<Call>();
        {
            std::lock_guard lock(mutex_);
            if (closed_) return 0;
        }
        MainWindow* window = &window_;
        QMetaObject::invokeMethod(
            &window_,
            [this, window, call, msg, wParam, lParam] {
                std::intptr_t result = 0;
                if (!window->closing_)
                    result = window->dialog_->OnWorkerMessage(msg, wParam, lParam);
                std::lock_guard lock(mutex_);
                call->result = result;
                call->done = true;
                handled_.notify_all();
            },
            Qt::QueuedConnection);
        std::unique_lock lock(mutex_);
        handled_.wait(lock, [&] { return call->done || closed_; });
        return call->done ? call->result : 0;
    }

    // Release every waiting worker; later messages return 0 at once.
    void Close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        handled_.notify_all();
    }

  private:
    struct Call {
        bool done = false;
        std::intptr_t result = 0;
    };

    MainWindow& window_;
    std::mutex mutex_;
    std::condition_variable handled_;
    bool closed_ = false;
};

MainWindow::MainWindow(IHotplugSource* hotplug, QWidget* parent)
    : QDialog(parent), hotplug_(hotplug) {
    setFont(DialogFont());
    units_ = UnitsOf(font());
    BuildControls();
    setWindowIcon(ApplicationIcon());
    // Fixed size, a caption, a system menu and a minimise box; no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    const QRect client = units_.Map(0, 0, kDialogWidth, kDialogHeight);
    setFixedSize(client.size());

    auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(about, &QShortcut::activated, this, [this] {
        if (!closing_) dialog_->OnSysCommand(kSysCommandAbout, 0);
    });

    sink_ = std::make_unique<Sink>(*this);
    dialog_ = std::make_unique<CFirmwareUpgradeDlg>(*this);
    dialog_->SetWorkerSink(sink_.get());
}

MainWindow::~MainWindow() {
    ShutDown();
}

void MainWindow::BuildControls() {
    const DialogUnits& du = units_;
    MakeGroup(this, "Device Information", du.Map(15, 17, 238, 69));
    MakeRightStatic(this, "Device:", du.Map(56, 36, 35, 8));
    deviceName_ = MakeSunken(this, "deviceName", "No Device", du.Map(94, 33, 146, 14));
    MakeRightStatic(this, "Device FW Version:", du.Map(27, 59, 64, 8));
    deviceVersion_ = MakeSunken(this, "deviceVersion", "0.0", du.Map(94, 57, 146, 14));

    MakeGroup(this, "Update package Information", du.Map(15, 92, 238, 46));
    MakeRightStatic(this, "Package FW Version:", du.Map(17, 113, 74, 8));
    packageVersion_ = MakeSunken(this, "packageVersion", "0.0", du.Map(94, 110, 149, 14));

    MakeGroup(this, "Update Progress", du.Map(15, 148, 238, 82));
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("progress"));
    progress_->setGeometry(du.Map(31, 172, 206, 18));
    progress_->setTextVisible(false);
    progress_->setRange(0, 100);
    progress_->setValue(0);

    update_ = new QPushButton(QStringLiteral("Update"), this);
    update_->setObjectName(QStringLiteral("update"));
    update_->setGeometry(du.Map(105, 200, 50, 14));
    update_->setEnabled(false);
    connect(update_, &QPushButton::clicked, this, [this] {
        if (!closing_) dialog_->OnBnClickedUpdateButton();
    });
}

void MainWindow::Initialise() {
    if (initialised_) return;
    initialised_ = true;
    dialog_->OnInitDialog();
}

void MainWindow::ShutDown() {
    if (shutDown_) return;
    shutDown_ = true;
    closing_ = true;
    if (!initialised_) return;
    // Stop the worker first: it sends nothing more, and one waiting for a
    // message to be handled is released, so the dialog's shut-down never
    // waits on a worker that waits on this window.
    dialog_->Stop([this] { sink_->Close(); });
    for (auto& [id, timer] : timers_) timer->stop();
}

void MainWindow::RequestClose() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && modal != this) {
        modal->close();
        QTimer::singleShot(0, this, [this] { RequestClose(); });
        return;
    }
    close();
}

void MainWindow::done(int result) {
    ShutDown();
    QDialog::done(result);
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* about = menu.addAction(QString::fromUtf8(CAboutDlg::kTitle));
    if (menu.exec(event->globalPos()) == about && !closing_)
        dialog_->OnSysCommand(kSysCommandAbout, 0);
}

QLabel* MainWindow::LabelFor(int id) const {
    switch (id) {
        case IDC_DEVICE_NAME:
            return deviceName_;
        case IDC_DEVICE_VERSION:
            return deviceVersion_;
        case IDC_PACKAGE_VERSION:
            return packageVersion_;
        default:
            return nullptr;
    }
}

void MainWindow::SetWindowTitle(const std::string& title) {
    setWindowTitle(Q(title));
}

void MainWindow::SetControlText(int id, const std::string& text) {
    if (QLabel* label = LabelFor(id)) label->setText(Q(text));
}

void MainWindow::EnableUpdateButton(bool enable) {
    update_->setEnabled(enable);
}

void MainWindow::SetProgressRange(int lower, int upper) {
    ApplyProgress();
    // An empty range (nothing to write) would make Qt's bar an animated busy
    // indicator; the window shows an empty bar instead, as the platform's
    // own control does.
    emptyRange_ = upper <= lower;
    progress_->setRange(lower, emptyRange_ ? lower + 1 : upper);
    progress_->setValue(lower);
    pendingPos_ = progress_->value();
}

// Positions arrive once per data report (thousands per run). The bar takes
// the latest one at most every 15 ms, and only when it changed, so painting
// never holds the worker up.
void MainWindow::SetProgressPos(int pos) {
    // A position above the range shows a full bar; an empty range stays
    // empty.
    const int top = emptyRange_ ? progress_->minimum() : progress_->maximum();
    pendingPos_ = std::clamp(pos, progress_->minimum(), top);
    if (progressScheduled_ || pendingPos_ == progress_->value()) return;
    progressScheduled_ = true;
    QTimer::singleShot(15, this, [this] { ApplyProgress(); });
}

void MainWindow::ApplyProgress() {
    progressScheduled_ = false;
    if (pendingPos_ != progress_->value()) progress_->setValue(pendingPos_);
}

int MainWindow::ProgressValue() {
    ApplyProgress();
    return progress_->value();
}

void MainWindow::ShowMessageBox(const std::string& text, const std::string& caption,
                                RunOutcome /*outcome*/) {
    const QString title = caption.empty() ? QCoreApplication::applicationName() : Q(caption);
    QMessageBox box(QMessageBox::NoIcon, title, Q(text), QMessageBox::Ok, this);
    box.exec();
}

void MainWindow::SetTimer(unsigned id, unsigned periodMs) {
    QTimer*& timer = timers_[id];
    if (timer == nullptr) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, id] {
            if (!closing_) dialog_->OnTimer(id);
        });
    }
    timer->start(static_cast<int>(periodMs));
}

void MainWindow::KillTimer(unsigned id) {
    auto it = timers_.find(id);
    if (it != timers_.end()) it->second->stop();
}

bool MainWindow::IsShiftDown() {
    return (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier) != 0;
}

void MainWindow::ShowAboutBox() {
    QDialog box(this);
    box.setFont(font());
    box.setWindowTitle(QString::fromUtf8(CAboutDlg::kTitle));
    box.setFixedSize(units_.Map(0, 0, kAboutWidth, kAboutHeight).size());
    auto* icon = new QLabel(&box);
    icon->setPixmap(ApplicationIcon().pixmap(32, 32));
    icon->setGeometry(QRect(units_.Map(14, 14, 0, 0).topLeft(), QSize(32, 32)));
    auto* line1 = new QLabel(QString::fromUtf8(CAboutDlg::kLine1), &box);
    line1->setGeometry(units_.Map(42, 14, 114, 8));
    auto* line2 = new QLabel(QString::fromUtf8(CAboutDlg::kLine2), &box);
    line2->setGeometry(units_.Map(42, 26, 114, 8));
    auto* ok = new QPushButton(QString::fromUtf8(CAboutDlg::kOkButton), &box);
    ok->setGeometry(units_.Map(113, 41, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, &box, &QDialog::accept);
    box.exec();
}

bool MainWindow::RegisterHidNotification() {
    if (hotplug_ == nullptr || hotplugRunning_) return hotplugRunning_;
    hotplugRunning_ = hotplug_->Start([this](HotplugEvent event, const std::string& path) {
        QMetaObject::invokeMethod(
            this,
            [this, event, path] {
                if (!closing_) dialog_->OnDeviceChange(event, path);
            },
            Qt::QueuedConnection);
    });
    return hotplugRunning_;
}

void MainWindow::UnregisterHidNotification() {
    if (!hotplugRunning_) return;
    hotplugRunning_ = false;
    hotplug_->Stop();
}

void RunQtWindow(IHotplugSource* hotplug, StopRequests* stops) {
    MainWindow window(hotplug);
    const StopRoute stopRoute(stops, [&window](const StopRequest&) {
        QMetaObject::invokeMethod(
            &window, [&window] { window.RequestClose(); }, Qt::QueuedConnection);
    });
    window.Initialise();
    window.exec();
    window.ShutDown();
}

void ShowQtWarning(const std::string& text, const std::string& caption) {
    QMessageBox box(QMessageBox::Warning, Q(caption), Q(text), QMessageBox::Ok);
    box.exec();
}

}  // namespace fwu
