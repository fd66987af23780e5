#include "frontends/qt/station_window.h"

#include <QBrush>
#include <QCloseEvent>
#include <QColor>
#include <QEventLoop>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "frontends/options.h"
#include "frontends/qt/main_window.h"
#include "frontends/station/station_text.h"

namespace fwu {
namespace {

QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QString Seconds(double seconds) {
    return QString::number(static_cast<long long>(std::lround(seconds))) + QStringLiteral(" s");
}

// Green for a controller that is done with, red for a failure, amber for one
// that needs a look.
QColor OutcomeColour(StationOutcome outcome) {
    switch (outcome) {
        case StationOutcome::Running:
            return QColor();
        case StationOutcome::Updated:
        case StationOutcome::Current:
            return QColor(0x1B, 0x7A, 0x2E);
        case StationOutcome::Failed:
            return QColor(0xB0, 0x1E, 0x1E);
        case StationOutcome::Unconfirmed:
        case StationOutcome::Skipped:
            return QColor(0xA8, 0x62, 0x00);
    }
    return QColor();
}

constexpr const char* kWaitingText =
    "Waiting for controllers: each one plugged in is updated at once. Closing the window stops "
    "the station.";
constexpr const char* kStoppingText =
    "Stopping: no new controllers are taken; the window closes when the runs in progress have "
    "finished.";
constexpr const char* kStillStoppingText =
    "Still finishing the runs in progress (a run is never cut inside an image); the window "
    "closes when they have finished.";
constexpr const char* kEndedText = "The station has ended; close the window to exit.";

}  // namespace

StationWindow::StationWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowIcon(ApplicationIcon());
    setObjectName(QStringLiteral("station"));

    auto* layout = new QVBoxLayout(this);
    auto* header = new QHBoxLayout();
    product_ = new QLabel(this);
    product_->setObjectName(QStringLiteral("product"));
    packageVersion_ = new QLabel(this);
    packageVersion_->setObjectName(QStringLiteral("packageVersion"));
    QFont bold = font();
    bold.setBold(true);
    packageVersion_->setFont(bold);
    header->addWidget(product_);
    header->addStretch(1);
    header->addWidget(packageVersion_);
    layout->addLayout(header);

    table_ = new QTableWidget(0, kColumns, this);
    table_->setObjectName(QStringLiteral("rows"));
    table_->setHorizontalHeaderLabels(
        {QStringLiteral("Port"), QStringLiteral("Controller"), QStringLiteral("Firmware before"),
         QStringLiteral("Progress"), QStringLiteral("Outcome"), QStringLiteral("Time")});
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->setFocusPolicy(Qt::NoFocus);
    table_->setWordWrap(false);
    QHeaderView* columns = table_->horizontalHeader();
    for (int c : {kPort, kController, kBefore, kTime})
        columns->setSectionResizeMode(c, QHeaderView::ResizeToContents);
    const QFontMetrics metrics(font());
    columns->setSectionResizeMode(kProgress, QHeaderView::Fixed);
    table_->setColumnWidth(kProgress, metrics.horizontalAdvance(QLatin1Char('0')) * 22);
    columns->setSectionResizeMode(kOutcome, QHeaderView::Stretch);
    layout->addWidget(table_, 1);

    summary_ = new QLabel(QString::fromStdString(SummaryText(counts_)), this);
    summary_->setObjectName(QStringLiteral("summary"));
    summary_->setFont(bold);
    layout->addWidget(summary_);
    status_ = new QLabel(QString::fromUtf8(kWaitingText), this);
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);
    layout->addWidget(status_);

    // Room for eight ports and their longest texts without scrolling.
    resize(metrics.horizontalAdvance(QLatin1Char('0')) * 110, metrics.height() * 24);

    // The time of a run goes on between the station's reports (the pauses
    // of a run last seconds).
    auto* ticker = new QTimer(this);
    connect(ticker, &QTimer::timeout, this, [this] { Tick(); });
    ticker->start(1000);
}

StationWindow::~StationWindow() = default;

int StationWindow::Exec(StationEngine& engine) {
    engine_ = &engine;
    int status = kExitFailed;
    show();
    std::thread thread([&engine, &status] { status = engine.Run(); });
    QEventLoop loop;
    loop_ = &loop;
    loop.exec();
    loop_ = nullptr;
    // Also when the loop ended otherwise (the application quit): the runs in
    // progress finish before the process ends.
    engine.RequestStop();
    thread.join();
    engine_ = nullptr;
    return status;
}

void StationWindow::closeEvent(QCloseEvent* event) {
    if (finished_ || engine_ == nullptr) {
        event->accept();
        if (loop_ != nullptr) loop_->quit();
        return;
    }
    // The runs in progress are never cut: the window waits for them.
    event->ignore();
    if (stopping_) {
        status_->setText(QString::fromUtf8(kStillStoppingText));
        return;
    }
    stopping_ = true;
    status_->setText(QString::fromUtf8(kStoppingText));
    setWindowTitle(windowTitle() + QStringLiteral(" (stopping)"));
    engine_->RequestStop();
}

void StationWindow::Started(const std::string& product, const std::string& packageVersion) {
    QMetaObject::invokeMethod(
        this,
        [this, product, packageVersion] {
            product_->setText(QStringLiteral("Product: ") + Q(product));
            packageVersion_->setText(QStringLiteral("Package FW Version: ") + Q(packageVersion));
            setWindowTitle(Q(product) + QStringLiteral(" - service bench") +
                           (stopping_ ? QStringLiteral(" (stopping)") : QString()));
        },
        Qt::QueuedConnection);
}

void StationWindow::RowChanged(const StationRow& row) {
    QMetaObject::invokeMethod(
        this, [this, row] { ShowRow(row); }, Qt::QueuedConnection);
}

void StationWindow::RowRemoved(const std::string& port) {
    QMetaObject::invokeMethod(
        this, [this, port] { RemoveRow(port); }, Qt::QueuedConnection);
}

void StationWindow::Notice(const std::string& text) {
    QMetaObject::invokeMethod(
        this, [this, text] { status_->setText(Q(text)); }, Qt::QueuedConnection);
}

void StationWindow::Finished(const StationCounts& counts, int /*status*/) {
    QMetaObject::invokeMethod(
        this, [this, counts] { ShowFinished(counts); }, Qt::QueuedConnection);
}

int StationWindow::RowOf(const std::string& port) const {
    const auto it =
        std::find_if(shown_.begin(), shown_.end(), [&](const Shown& s) { return s.port == port; });
    return it == shown_.end() ? -1 : static_cast<int>(it - shown_.begin());
}

void StationWindow::ShowRow(const StationRow& row) {
    int index = RowOf(row.port);
    if (index < 0) {
        index = table_->rowCount();
        table_->insertRow(index);
        for (int c = 0; c < kColumns; ++c) {
            if (c != kProgress) table_->setItem(index, c, new QTableWidgetItem());
        }
        auto* bar = new QProgressBar(table_);
        bar->setRange(0, 100);
        table_->setCellWidget(index, kProgress, bar);
        shown_.emplace_back().port = row.port;
    }
    Shown& shown = shown_[static_cast<std::size_t>(index)];
    // A run that ends now counts once; its row keeps the outcome until the
    // controller is unplugged or the next one there starts.
    const bool running = row.outcome == StationOutcome::Running;
    if (shown.running && !running) {
        counts_.Add(row.outcome);
        if (!finished_) summary_->setText(Q(SummaryText(counts_)));
    }
    shown.running = running;
    shown.seconds = row.seconds;
    shown.since.start();

    table_->item(index, kPort)->setText(Q(StationTextView::PortName(row.port)));
    table_->item(index, kController)->setText(Q(row.controller));
    table_->item(index, kBefore)->setText(Q(row.versionBefore));
    auto* bar = static_cast<QProgressBar*>(table_->cellWidget(index, kProgress));
    bar->setValue(std::clamp(row.percent, 0, 100));
    bar->setFormat(row.percent < 0 ? QString() : QStringLiteral("%p%"));
    QTableWidgetItem* outcome = table_->item(index, kOutcome);
    outcome->setText(Q(OutcomeDescription(row)));
    outcome->setToolTip(outcome->text());
    const QColor colour = OutcomeColour(row.outcome);
    outcome->setForeground(colour.isValid() ? QBrush(colour) : QBrush());
    table_->item(index, kTime)->setText(Seconds(row.seconds));
}

void StationWindow::RemoveRow(const std::string& port) {
    const int index = RowOf(port);
    if (index < 0) return;
    table_->removeRow(index);
    shown_.erase(shown_.begin() + index);
}

void StationWindow::Tick() {
    for (std::size_t i = 0; i < shown_.size(); ++i) {
        const Shown& shown = shown_[i];
        if (!shown.running) continue;
        table_->item(static_cast<int>(i), kTime)
            ->setText(Seconds(shown.seconds + static_cast<double>(shown.since.elapsed()) / 1000));
    }
}

void StationWindow::ShowFinished(const StationCounts& counts) {
    finished_ = true;
    counts_ = counts;
    summary_->setText(Q(SummaryText(counts)));
    // A station that could not start keeps the notice that says why.
    if (stopping_ || counts.Total() > 0 || status_->text() == QString::fromUtf8(kWaitingText))
        status_->setText(QString::fromUtf8(kEndedText));
    // Tests read what the window shows from the file FWU_STATION_DUMP names.
    const char* dump = std::getenv("FWU_STATION_DUMP");
    const bool dumping = dump != nullptr && *dump != '\0';
    if (dumping) {
        QFile file(QString::fromLocal8Bit(dump));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            const std::string text = Dump();
            file.write(text.data(), static_cast<qint64>(text.size()));
        }
    }
    if (stopping_ || dumping) close();
}

std::string StationWindow::Dump() const {
    std::string text = "package: " + packageVersion_->text().toStdString() + '\n';
    for (int r = 0; r < table_->rowCount(); ++r) {
        text += "row:";
        for (int c = 0; c < kColumns; ++c) {
            const QString cell = c == kProgress
                                     ? static_cast<QProgressBar*>(table_->cellWidget(r, c))->text()
                                     : table_->item(r, c)->text();
            text += (c == 0 ? " " : " | ") + cell.toStdString();
        }
        text += '\n';
    }
    text += "summary: " + summary_->text().toStdString() + '\n';
    text += "status: " + status_->text().toStdString() + '\n';
    return text;
}

int RunQtStation(const StationSettings& settings, IHotplugSource* hotplug, StopRequests* stops) {
    StationWindow window;
    StationEngine engine(settings, hotplug, window);
    // A termination signal does what the close box does: no new controller,
    // the runs in progress finish, then the window closes.
    const StopRoute stopRoute(stops, [&window](const StopRequest&) {
        QMetaObject::invokeMethod(
            &window, [&window] { window.close(); }, Qt::QueuedConnection);
    });
    return window.Exec(engine);
}

}  // namespace fwu
