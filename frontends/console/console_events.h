// What the console front end shows, as events for a machine reader. The
// console host reports each one beside its own text; --json writes them as
// JSON lines (json_events.h).
#pragma once

#include <string>

namespace fwu {

class ConsoleEvents {
  public:
    virtual ~ConsoleEvents() = default;

    virtual void Title(const std::string& title) = 0;
    // `label` is "device", "device_version" or "package_version".
    virtual void Label(const std::string& label, const std::string& text) = 0;
    virtual void ProgressRange(int lower, int upper) = 0;
    virtual void Progress(int pos, int lower, int upper, int percent) = 0;
    virtual void MessageShown(const std::string& caption, const std::string& text) = 0;
    // The console's own lines ("Pressing Update.", why a run ended early).
    virtual void Notice(const std::string& text) = 0;
    // After "Update OK": whether the controller came back in normal mode
    // (within --wait) and the version it then reported, beside the package's.
    virtual void Confirmation(bool returned, const std::string& deviceVersion,
                              const std::string& packageVersion) = 0;
    // The run's exit status; always the last event.
    virtual void Result(int status) = 0;
};

}  // namespace fwu
