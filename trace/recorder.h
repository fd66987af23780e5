// Recording: decorators of the HID backend, hot-plug source and rumble
// service that pass every call on and write it to a trace as it completes.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "platform/hid.h"
#include "trace/format.h"

namespace fwu::trace {

// The trace file: one line per operation, written and flushed at once, so a
// crash or a killed process keeps everything recorded before it.
// Thread-safe: the dialog's thread, the worker and hot-plug threads record.
class TraceWriter {
  public:
    // Opens (truncates) `path`; Ok() tells whether it could be written.
    // `choices`: the run's, for the header line.
    explicit TraceWriter(const std::string& path, const RunChoices& choices = {});
    // Writes to an already open stream (benchmarks and tests); not closed.
    explicit TraceWriter(std::FILE* stream, const RunChoices& choices = {});
    ~TraceWriter();
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    bool Ok() const { return file_ != nullptr; }
    // Microseconds since the writer was created.
    std::uint64_t Now() const;
    // Numbers `op`, stamps its completion time and writes it.
    void Record(Op& op);

  private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    std::uint64_t next_ = 1;
    std::chrono::steady_clock::time_point start_;
};

// Passes everything to `inner`, numbering the devices it opens.
class RecordingBackend : public IHidBackend {
  public:
    RecordingBackend(IHidBackend& inner, TraceWriter& writer) : inner_(inner), writer_(writer) {}
    std::vector<std::string> EnumeratePaths() override;
    std::unique_ptr<IHidDevice> Open(const std::string& path) override;
    // Queries for the user, the update history and the driver care of the
    // platform, passed on and not recorded (what they cause arrives as
    // recorded events; a replay answers "" for the serial number).
    bool AccessDenied(const std::string& path) override { return inner_.AccessDenied(path); }
    std::string SerialNumber(const std::string& path) override { return inner_.SerialNumber(path); }
    // Passed on; recorded with the enumerate and open lines it belongs to,
    // not as a line of its own.
    std::string Location(const std::string& path) override { return inner_.Location(path); }
    bool LockedByOther(const std::string& path) override { return inner_.LockedByOther(path); }
    int RestoreDrivers(const std::vector<HidIdentity>& identities) override {
        return inner_.RestoreDrivers(identities);
    }

  private:
    IHidBackend& inner_;
    TraceWriter& writer_;
    std::mutex mutex_;
    int nextDevice_ = 1;
};

// Each arrival and removal is recorded with the location `hid` gives its path.
class RecordingHotplug : public IHotplugSource {
  public:
    RecordingHotplug(IHotplugSource& inner, TraceWriter& writer, IHidBackend& hid)
        : inner_(inner), writer_(writer), hid_(hid) {}
    bool Start(HotplugCallback callback) override;
    void Stop() override { inner_.Stop(); }

  private:
    IHotplugSource& inner_;
    TraceWriter& writer_;
    IHidBackend& hid_;
};

class RecordingRumble : public IRumble {
  public:
    RecordingRumble(IRumble& inner, TraceWriter& writer) : inner_(inner), writer_(writer) {}
    bool IsConnected(unsigned userIndex) override;
    bool SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) override;
    // Recorded only where the platform links the two (rumble-device); where
    // it does not, the caller's IsConnected calls are what the trace holds.
    int UserIndexFor(const std::string& devicePath) override;

  private:
    IRumble& inner_;
    TraceWriter& writer_;
};

}  // namespace fwu::trace
