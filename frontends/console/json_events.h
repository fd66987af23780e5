// --json: every console event as one JSON object on its own line, flushed at
// once, so that a script can follow a run as it happens.
#pragma once

#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>

#include "frontends/console/console_events.h"

namespace fwu {

class JsonEventWriter : public ConsoleEvents {
  public:
    // `update`: the run presses Update (--update); without it a successful
    // run only showed a controller.
    JsonEventWriter(std::ostream& out, bool update) : out_(out), update_(update) {}
    // One run of a station: every event also names the `port` it serves
    // ("" where the platform gives none), right after its kind.
    JsonEventWriter(std::ostream& out, bool update, std::string port)
        : out_(out), update_(update), port_(std::move(port)) {}

    void Title(const std::string& title) override;
    void Label(const std::string& label, const std::string& text) override;
    void ProgressRange(int lower, int upper) override;
    void Progress(int pos, int lower, int upper, int percent) override;
    void MessageShown(const std::string& caption, const std::string& text) override;
    void Notice(const std::string& text) override;
    void Confirmation(bool returned, const std::string& deviceVersion,
                      const std::string& packageVersion) override;
    void Result(int status) override;

  private:
    void Write(const std::string& line);

    std::ostream& out_;
    const bool update_;
    const std::optional<std::string> port_;
    std::mutex mutex_;
    bool ended_ = false;  // the result went out; nothing follows it
};

// The word for an exit status in the result event: "updated" ("shown"
// without --update), "failed", "refused", "no_device", or "status_<n>" for
// one this build does not know.
std::string OutcomeName(int status, bool update);

}  // namespace fwu
