// The station with --json: every event of every run as a JSON line on
// standard output, each naming its port; each run ends with its own result
// event, and the stream ends with a result event that counts the outcomes.
// The text goes to another view (standard error).
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "frontends/console/json_events.h"
#include "frontends/station/station_view.h"

namespace fwu {

class StationJsonView : public IStationView {
  public:
    StationJsonView(std::ostream& out, IStationView& text);
    ~StationJsonView() override;

    void Started(const std::string& product, const std::string& packageVersion) override;
    void RowChanged(const StationRow& row) override;
    void RowRemoved(const std::string& port) override;
    void PortLine(const std::string& port, const std::string& line) override;
    ConsoleEvents* EventsOf(const std::string& port) override;
    void Notice(const std::string& text) override;
    void Finished(const StationCounts& counts, int status) override;

  private:
    std::ostream& out_;
    IStationView& text_;
    JsonEventWriter station_;  // the station's own events, without a port
    std::vector<std::unique_ptr<JsonEventWriter>> runs_;
};

}  // namespace fwu
