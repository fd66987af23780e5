#include "frontends/station/station_text.h"

#include <algorithm>
#include <cmath>
#include <ostream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fwu {
namespace {

constexpr std::size_t kLineWidth = 79;  // a line never wraps on an 80-column terminal
constexpr int kBarWidth = 20;

// Cursor up N lines to column 0, erase the line, erase to the end of the screen.
std::string Up(std::size_t lines) {
    return "\r\x1b[" + std::to_string(lines) + "A";
}
constexpr const char* kEraseLine = "\x1b[2K";
constexpr const char* kEraseBelow = "\x1b[J";

// A Windows console interprets the escapes only when asked to.
bool TerminalTakesEscapes() {
#ifdef _WIN32
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return true;
#endif
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() > width) text.resize(width);
    text.append(width - text.size(), ' ');
    return text;
}

std::string Clipped(std::string text) {
    if (text.size() > kLineWidth) text.resize(kLineWidth);
    return text;
}

std::string Seconds(double seconds) {
    return std::to_string(static_cast<long long>(std::lround(seconds))) + " s";
}

// "Progress: N%" on a pipe: every tenth percent is enough to follow a run.
bool ThinnedProgress(const std::string& line) {
    constexpr std::string_view prefix = "Progress: ";
    if (!line.starts_with(prefix)) return false;
    const std::string number = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    return number.empty() || number.back() != '0';
}

}  // namespace

StationTextView::StationTextView(std::ostream& out, bool terminal)
    : out_(out), terminal_(terminal && TerminalTakesEscapes()) {}

std::string StationTextView::PortName(const std::string& port) {
    return port.empty() ? "no port" : port;
}

std::string StationTextView::OutcomeLine(const StationRow& row) {
    if (row.outcome == StationOutcome::Running) return OutcomeText(row.outcome);
    return OutcomeDescription(row) + " (" + Seconds(row.seconds) + ")";
}

std::string StationTextView::RowText(const StationRow& row) const {
    std::string text = Padded(PortName(row.port), 10) + " " + Padded(row.controller, 20) + " " +
                       Padded(row.versionBefore, 10) + " ";
    if (row.outcome != StationOutcome::Running) return Clipped(text + OutcomeLine(row));
    if (row.percent < 0) return Clipped(text + "starting (" + Seconds(row.seconds) + ")");
    const int filled = std::clamp(row.percent, 0, 100) * kBarWidth / 100;
    text += '[';
    text.append(static_cast<std::size_t>(filled), '#');
    text.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    text += "] ";
    text += std::to_string(row.percent);
    text += '%';
    return Clipped(text);
}

void StationTextView::Started(const std::string& product, const std::string& packageVersion) {
    out_ << "Product: " << product << '\n' << "Package FW Version: " << packageVersion << '\n';
    if (terminal_) {
        out_ << Padded("Port", 10) << ' ' << Padded("Controller", 20) << ' ' << Padded("Before", 10)
             << " Progress / outcome\n";
    }
    out_.flush();
    Redraw();
}

void StationTextView::RowChanged(const StationRow& row) {
    auto it = std::find_if(rows_.begin(), rows_.end(),
                           [&](const StationRow& r) { return r.port == row.port; });
    const bool ended =
        row.outcome != StationOutcome::Running &&
        (it == rows_.end() || it->outcome == StationOutcome::Running || it->status != row.status);
    const bool appeared = it == rows_.end() || (it->outcome != StationOutcome::Running &&
                                                row.outcome == StationOutcome::Running);
    if (it == rows_.end()) {
        rows_.push_back(row);
    } else {
        *it = row;
    }
    if (ended) counts_.Add(row.outcome);
    if (terminal_) {
        Redraw();
        return;
    }
    std::string prefix = "[";
    prefix += PortName(row.port);
    prefix += "] ";
    if (appeared) out_ << prefix << "A controller was plugged in.\n";
    if (ended) out_ << prefix << "Outcome: " << OutcomeLine(row) << '\n';
    out_.flush();
}

void StationTextView::RowRemoved(const std::string& port) {
    std::erase_if(rows_, [&](const StationRow& r) { return r.port == port; });
    if (terminal_) {
        Redraw();
        return;
    }
    out_ << "[" << PortName(port) << "] Unplugged.\n";
    out_.flush();
}

void StationTextView::PortLine(const std::string& port, const std::string& line) {
    // On a terminal the rows say it; elsewhere the station printed the
    // product and the package's version once for every port.
    if (terminal_ || line.starts_with("Product: ") || line.starts_with("Package FW Version: ") ||
        ThinnedProgress(line))
        return;
    out_ << "[" << PortName(port) << "] " << line << '\n';
    out_.flush();
}

void StationTextView::Notice(const std::string& text) {
    if (terminal_ && drawn_ > 0) out_ << Up(drawn_) << kEraseBelow;
    drawn_ = 0;
    lastBlock_.clear();
    out_ << text << '\n';
    out_.flush();
    Redraw();
}

void StationTextView::Finished(const StationCounts& counts, int /*status*/) {
    done_ = true;
    counts_ = counts;
    Redraw();
    out_ << SummaryText(counts) << '\n';
    out_.flush();
}

void StationTextView::Redraw() {
    if (!terminal_) return;
    std::string block;
    if (drawn_ > 0) block += Up(drawn_);
    std::size_t lines = 0;
    for (const StationRow& row : rows_) {
        block += kEraseLine + RowText(row) + "\n";
        ++lines;
    }
    if (!done_) {
        block += kEraseLine +
                 Clipped(SummaryText(counts_) + "; waiting for controllers (Ctrl+C stops)") + "\n";
        ++lines;
    }
    block += kEraseBelow;
    // Events that change nothing on the screen are not drawn again.
    if (block == lastBlock_) return;
    out_ << block;
    out_.flush();
    drawn_ = lines;
    lastBlock_ = std::move(block);
}

}  // namespace fwu
