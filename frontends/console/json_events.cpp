#include "frontends/console/json_events.h"

#include <nlohmann/json.hpp>
#include <ostream>

#include "app/history.h"
#include "frontends/options.h"

namespace fwu {
namespace {

// Texts from the controller or the records may hold bytes that are not
// UTF-8; they are replaced rather than ending the run with an exception.
std::string Dump(const nlohmann::ordered_json& object) {
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

// A run's status is the process's exit status: the history's names serve both.
static_assert(kExitUpdated == kRunUpdated && kExitFailed == kRunFailed &&
              kExitRefused == kRunRefused && kExitNoDevice == kRunNoDevice &&
              kExitUnconfirmed == kRunUnconfirmed);

std::string OutcomeName(int status, bool update) {
    if (status == kExitUpdated && !update) return "shown";
    return RunOutcomeName(status);
}

void JsonEventWriter::Write(const std::string& line) {
    std::string tagged;
    if (port_) {
        // After the kind, which every line begins with: {"event":"<kind>",...
        const std::size_t kindEnd = line.find('"', sizeof "{\"event\":\"" - 1);
        if (kindEnd != std::string::npos)
            tagged = line.substr(0, kindEnd + 1) + ",\"port\":" + Dump(*port_) +
                     line.substr(kindEnd + 1);
    }
    std::lock_guard lock(mutex_);
    if (ended_) return;
    out_ << (tagged.empty() ? line : tagged) << '\n';
    out_.flush();
}

void JsonEventWriter::Title(const std::string& title) {
    Write(Dump({{"event", "title"}, {"text", title}}));
}

void JsonEventWriter::Label(const std::string& label, const std::string& text) {
    Write(Dump({{"event", "label"}, {"label", label}, {"text", text}}));
}

void JsonEventWriter::ProgressRange(int lower, int upper) {
    Write(Dump({{"event", "progress_range"}, {"lower", lower}, {"upper", upper}}));
}

void JsonEventWriter::Progress(int pos, int lower, int upper, int percent) {
    Write(Dump({{"event", "progress"},
                {"pos", pos},
                {"lower", lower},
                {"upper", upper},
                {"percent", percent}}));
}

void JsonEventWriter::MessageShown(const std::string& caption, const std::string& text) {
    Write(Dump({{"event", "message_box"}, {"caption", caption}, {"text", text}}));
}

void JsonEventWriter::Notice(const std::string& text) {
    Write(Dump({{"event", "notice"}, {"text", text}}));
}

void JsonEventWriter::Confirmation(bool returned, const std::string& deviceVersion,
                                   const std::string& packageVersion) {
    nlohmann::ordered_json event{{"event", "confirmation"}, {"returned", returned}};
    if (returned) event["device_version"] = deviceVersion;
    event["package_version"] = packageVersion;
    event["confirmed"] = returned && deviceVersion == packageVersion;
    Write(Dump(event));
}

void JsonEventWriter::Result(int status) {
    Write(
        Dump({{"event", "result"}, {"status", status}, {"outcome", OutcomeName(status, update_)}}));
    std::lock_guard lock(mutex_);
    ended_ = true;
}

}  // namespace fwu
