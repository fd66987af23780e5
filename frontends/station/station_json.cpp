#include "frontends/station/station_json.h"

#include <nlohmann/json.hpp>
#include <ostream>

namespace fwu {

StationJsonView::StationJsonView(std::ostream& out, IStationView& text)
    : out_(out), text_(text), station_(out, true) {}

StationJsonView::~StationJsonView() = default;

void StationJsonView::Started(const std::string& product, const std::string& packageVersion) {
    station_.Title(product);
    station_.Label("package_version", packageVersion);
    text_.Started(product, packageVersion);
}

void StationJsonView::RowChanged(const StationRow& row) {
    text_.RowChanged(row);
}

void StationJsonView::RowRemoved(const std::string& port) {
    text_.RowRemoved(port);
}

void StationJsonView::PortLine(const std::string& port, const std::string& line) {
    text_.PortLine(port, line);
}

ConsoleEvents* StationJsonView::EventsOf(const std::string& port) {
    runs_.push_back(std::make_unique<JsonEventWriter>(out_, true, port));
    return runs_.back().get();
}

void StationJsonView::Notice(const std::string& text) {
    station_.Notice(text);
    text_.Notice(text);
}

void StationJsonView::Finished(const StationCounts& counts, int status) {
    text_.Finished(counts, status);
    const nlohmann::ordered_json result{{"event", "result"},
                                        {"status", status},
                                        {"outcome", OutcomeName(status, true)},
                                        {"updated", counts.updated},
                                        {"current", counts.current},
                                        {"failed", counts.failed},
                                        {"unconfirmed", counts.unconfirmed},
                                        {"skipped", counts.skipped}};
    out_ << result.dump() << '\n';
    out_.flush();
}

}  // namespace fwu
