// The station as text. On a terminal: one line per port redrawn in place
// (port, controller, firmware before, progress or outcome) under a status
// line, and the summary at the end. Elsewhere (a pipe, a file): whole lines,
// each of a run prefixed with its port, never mixed with another's.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "frontends/station/station_view.h"

namespace fwu {

class StationTextView : public IStationView {
  public:
    // `terminal`: draw in place with terminal escapes (when the terminal
    // takes them; otherwise whole lines are written).
    StationTextView(std::ostream& out, bool terminal);

    void Started(const std::string& product, const std::string& packageVersion) override;
    void RowChanged(const StationRow& row) override;
    void RowRemoved(const std::string& port) override;
    void PortLine(const std::string& port, const std::string& line) override;
    void Notice(const std::string& text) override;
    void Finished(const StationCounts& counts, int status) override;

    // The port as printed: its location, or "no port" where there is none.
    static std::string PortName(const std::string& port);
    // The row's outcome in words, with what it ended with or how long it took.
    static std::string OutcomeLine(const StationRow& row);

  private:
    void Redraw();
    std::string RowText(const StationRow& row) const;

    std::ostream& out_;
    bool terminal_;
    std::vector<StationRow> rows_;  // in the order they appeared
    StationCounts counts_;
    std::size_t drawn_ = 0;  // lines of the block now on the screen
    std::string lastBlock_;  // what drew them
    bool done_ = false;
};

}  // namespace fwu
