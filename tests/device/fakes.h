// Scripted HID devices, backend and rumble for the device tests: they give
// each call exactly the outcome a test names (a failing third string read, a
// short or foreign reply, an unopenable path, a refused vibration step),
// which the simulated controller does not. Every call that reaches a fake is
// appended to one event list, so tests can check the order of requests and
// pauses.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceManager.h"
#include "platform/hid.h"
#include "tests/support/services.h"

namespace fwu::test {

using Events = std::vector<std::string>;

// What one scripted controller does. Shared by the backend and every device
// object opened on it.
struct FakeHid {
    std::string path;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    bool openable = true;
    bool attributesOk = true;
    std::uint8_t outputReportId = 0;
    std::uint32_t errorNumber = 0x1F;

    bool writeOk = true;
    std::vector<Report> writes;

    bool readFails = false;
    std::deque<Report> replies;  // empty: the read times out
    // When set, every successful write queues the reply it returns.
    std::function<Report(const Report&)> responder;
    std::uint32_t readWaitedMs = 0;  // sum of the timeouts of silent reads
    std::uint32_t longestWaitMs = 0;
    std::function<void()> onSilentRead;  // runs on every read that times out

    std::map<std::uint8_t, std::vector<std::uint8_t>> strings;  // missing index: fails
    int stringCallsOk = 1 << 30;                                // later calls fail

    int setOutputOk = 1 << 30;  // sendings accepted before one is refused
    std::vector<std::vector<std::uint8_t>> setOutputs;

    int opens = 0;
    Events* events = nullptr;

    void Note(const std::string& e) {
        if (events) events->push_back(e);
    }
};

class FakeDevice : public IHidDevice {
  public:
    explicit FakeDevice(std::shared_ptr<FakeHid> hid) : hid_(std::move(hid)) {}

    bool Write(const std::uint8_t* report, std::size_t length) override {
        hid_->Note("write " + hid_->path);
        if (!hid_->writeOk || length != kReportSize) return false;
        Report r{};
        std::copy(report, report + length, r.begin());
        hid_->writes.push_back(r);
        if (hid_->responder) hid_->replies.push_back(hid_->responder(r));
        return true;
    }

    ReadStatus Read(std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs) override {
        hid_->Note("read " + hid_->path);
        if (hid_->readFails) {
            return ReadStatus::Failed;
        }
        if (hid_->replies.empty()) {
            hid_->readWaitedMs += timeoutMs;
            hid_->longestWaitMs = std::max(hid_->longestWaitMs, timeoutMs);
            if (hid_->onSilentRead) hid_->onSilentRead();
            return ReadStatus::Timeout;
        }
        const Report r = hid_->replies.front();
        hid_->replies.pop_front();
        std::copy(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(length), report);
        return ReadStatus::Ok;
    }

    std::uint8_t OutputReportId() override { return hid_->outputReportId; }

    bool GetIndexedString(std::uint8_t index, std::uint8_t* buffer, std::size_t length) override {
        hid_->Note("string " + std::to_string(index) + " " + std::to_string(length));
        auto it = hid_->strings.find(index);
        if (hid_->stringCallsOk-- <= 0 || it == hid_->strings.end()) return false;
        const std::size_t n = std::min(length, it->second.size());
        std::copy(it->second.begin(), it->second.begin() + static_cast<std::ptrdiff_t>(n), buffer);
        return true;
    }

    bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
        hid_->Note("setout " + std::to_string(length));
        if (hid_->setOutputOk-- <= 0) return false;
        hid_->setOutputs.emplace_back(report, report + length);
        return true;
    }

    bool GetAttributes(std::uint16_t& vid, std::uint16_t& pid) override {
        if (!hid_->attributesOk) return false;
        vid = hid_->vid;
        pid = hid_->pid;
        return true;
    }

    // `replies` are the device's scripted answers, not reports already
    // queued; the call is only noted.
    void DropQueuedInput() override { hid_->Note("drop " + hid_->path); }

    std::uint32_t LastError() const override { return hid_->errorNumber; }

  private:
    std::shared_ptr<FakeHid> hid_;
};

class FakeBackend : public IHidBackend {
  public:
    std::shared_ptr<FakeHid> Add(const std::string& path, std::uint16_t vid, std::uint16_t pid) {
        auto hid = std::make_shared<FakeHid>();
        hid->path = path;
        hid->vid = vid;
        hid->pid = pid;
        hid->events = events;
        devices.push_back(hid);
        return hid;
    }

    std::vector<std::string> EnumeratePaths() override {
        std::vector<std::string> paths;
        for (const auto& d : devices) paths.push_back(d->path);
        return paths;
    }

    std::unique_ptr<IHidDevice> Open(const std::string& path) override {
        for (const auto& d : devices) {
            if (d->path == path && d->openable) {
                ++d->opens;
                return std::make_unique<FakeDevice>(d);
            }
        }
        return nullptr;
    }

    std::vector<std::shared_ptr<FakeHid>> devices;
    Events* events = nullptr;
};

class FakeRumble : public IRumble {
  public:
    struct Call {
        unsigned user;
        std::uint16_t left;
        std::uint16_t right;
    };

    bool IsConnected(unsigned userIndex) override {
        ++connectedAsked;
        return userIndex < 4 && connected[userIndex];
    }
    int UserIndexFor(const std::string& devicePath) override {
        linkAskedFor.push_back(devicePath);
        return link;
    }
    bool SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) override {
        calls.push_back({userIndex, left, right});
        if (events) events->push_back("rumble");
        return acceptSteps-- > 0;
    }

    std::array<bool, 4> connected{};
    int connectedAsked = 0;
    int link = kNoLink;  // UserIndexFor's answer
    std::vector<std::string> linkAskedFor;
    int acceptSteps = 1 << 30;
    std::vector<Call> calls;
    Events* events = nullptr;
};

// Installs the fakes for the lifetime of a test, pauses noted in the event
// list, and restores the defaults.
class FakeWorld {
  public:
    FakeWorld() {
        backend.events = &events;
        rumble.events = &events;
        sleeper.onSleep = [this](std::uint32_t ms) {
            events.push_back("pause " + std::to_string(ms));
        };
    }
    FakeWorld(const FakeWorld&) = delete;
    FakeWorld& operator=(const FakeWorld&) = delete;

    // An open handle on a new scripted device.
    DeviceHandle Open(std::shared_ptr<FakeHid>& hid, std::uint16_t vid = 0x3A5C,
                      std::uint16_t pid = 0x0001) {
        hid = backend.Add("path" + std::to_string(backend.devices.size()), vid, pid);
        return OpenDevice(hid->path);
    }

    Events events;
    FakeBackend backend;
    FakeRumble rumble;
    FakeSleeper sleeper;

  private:
    ScopedServices services_{{nullptr, &sleeper, &backend, &rumble}};
};

// A 0xE1 reply with the given big-endian words at bytes 5, 7, 9 and 13.
inline Report InfoReply(std::uint16_t updateId, std::uint16_t fw, std::uint16_t sub,
                        std::uint16_t marker) {
    Report r{};
    auto put = [&](std::size_t at, std::uint16_t v) {
        r[at] = static_cast<std::uint8_t>(v >> 8);
        r[at + 1] = static_cast<std::uint8_t>(v);
    };
    put(5, updateId);
    put(7, fw);
    put(9, sub);
    put(13, marker);
    return r;
}

// String descriptor content of 8-byte big-endian entries (updateId, fw, sub, 0).
inline std::vector<std::uint8_t> InfoString(
    const std::vector<std::array<std::uint16_t, 3>>& entries) {
    std::vector<std::uint8_t> s;
    for (const auto& e : entries) {
        for (std::uint16_t v : {e[0], e[1], e[2], std::uint16_t{0}}) {
            s.push_back(static_cast<std::uint8_t>(v >> 8));
            s.push_back(static_cast<std::uint8_t>(v));
        }
    }
    return s;
}

}  // namespace fwu::test
