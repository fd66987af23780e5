#include "trace/setup.h"

#include <ostream>

#include "trace/summary.h"

namespace fwu::trace {
namespace {

std::string DescribeChoices(const RunChoices& c) {
    std::string text = c.window ? "the window" : "the console front end";
    text += c.update ? " with --update" : " without --update";
    if (c.force) text += " --force";
    return text;
}

}  // namespace

TraceSetup::~TraceSetup() {
    if (!installed_) return;
    SetHidBackend(previousHid_);
    SetRumble(previousRumble_);
}

std::string TraceSetup::Install(const TraceRequest& request, IHotplugSource* hotplug) {
    hotplug_ = hotplug;
    if (request.recordPath.empty() && request.replayPath.empty()) return {};
    previousHid_ = &HidBackend();
    previousRumble_ = &Rumble();
    IHidBackend* hid = previousHid_;
    IRumble* rumble = previousRumble_;

    if (!request.replayPath.empty()) {
        std::string error;
        std::optional<Trace> trace = LoadTrace(request.replayPath, error);
        if (!trace) return error;
        // Other choices make other requests: such a replay could only differ.
        if (trace->choices && *trace->choices != request.choices)
            return "the trace " + request.replayPath + " was recorded by " +
                   DescribeChoices(*trace->choices) + "; this run is " +
                   DescribeChoices(request.choices) +
                   " and would ask other things: replay it the way it was recorded";
        replay_ = std::make_unique<ReplaySession>(
            std::move(*trace), ReplayOptions{request.fast, request.onDifference});
        hid = replay_.get();
        rumble = replay_.get();
        hotplug_ = replay_.get();
    }
    if (!request.recordPath.empty()) {
        writer_ = std::make_unique<TraceWriter>(request.recordPath, request.choices);
        if (!writer_->Ok()) return "cannot write the trace " + request.recordPath;
        IHidBackend& inner = *hid;
        hid_ = std::make_unique<RecordingBackend>(inner, *writer_);
        rumble_ = std::make_unique<RecordingRumble>(*rumble, *writer_);
        hid = hid_.get();
        rumble = rumble_.get();
        if (hotplug_ != nullptr) {
            recordedHotplug_ = std::make_unique<RecordingHotplug>(*hotplug_, *writer_, inner);
            hotplug_ = recordedHotplug_.get();
        }
    }
    SetHidBackend(hid);
    SetRumble(rumble);
    installed_ = true;
    return {};
}

int PrintTraceSummary(const std::string& path, std::ostream& out, std::ostream& err) {
    std::string error;
    const std::optional<Trace> trace = LoadTrace(path, error);
    if (!trace) {
        err << error << '\n';
        return 1;
    }
    out << Summarize(*trace);
    out.flush();
    return 0;
}

}  // namespace fwu::trace
