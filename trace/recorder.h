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
    explicit TraceWriter(const std::string& path);
    // Writes to an already open stream (benchmarks and tests); not closed.
    explicit TraceWriter(std::FILE* stream);
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
    // Queries for the user and the update history, passed on and not
    // recorded (a replay answers "" for the serial number).
    bool AccessDenied(const std::string& path) override { return inner_.AccessDenied(path); }
    std::string SerialNumber(const std::string& path) override { return inner_.SerialNumber(path); }

  private:
    IHidBackend& inner_;
    TraceWriter& writer_;
    std::mutex mutex_;
    int nextDevice_ = 1;
};

class RecordingHotplug : public IHotplugSource {
  public:
    RecordingHotplug(IHotplugSource& inner, TraceWriter& writer) : inner_(inner), writer_(writer) {}
    bool Start(HotplugCallback callback) override;
    void Stop() override { inner_.Stop(); }

  private:
    IHotplugSource& inner_;
    TraceWriter& writer_;
};

class RecordingRumble : public IRumble {
  public:
    RecordingRumble(IRumble& inner, TraceWriter& writer) : inner_(inner), writer_(writer) {}
    bool IsConnected(unsigned userIndex) override;
    bool SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) override;

  private:
    IRumble& inner_;
    TraceWriter& writer_;
};

}  // namespace fwu::trace
