#include "trace/recorder.h"

#include <algorithm>

namespace fwu::trace {
namespace {

// Calls of the tool in progress on this thread: a hot-plug event that comes
// while one runs was caused by it (a controller that restarts on a command).
thread_local int callsInProgress = 0;

// Times one call: the start when built, the duration when asked.
class CallTimer {
  public:
    explicit CallTimer(const TraceWriter& writer) : writer_(writer), start_(writer.Now()) {
        ++callsInProgress;
    }
    ~CallTimer() { --callsInProgress; }
    CallTimer(const CallTimer&) = delete;
    CallTimer& operator=(const CallTimer&) = delete;
    std::uint64_t Elapsed() const { return writer_.Now() - start_; }

  private:
    const TraceWriter& writer_;
    std::uint64_t start_;
};

class RecordingDevice : public IHidDevice {
  public:
    RecordingDevice(std::unique_ptr<IHidDevice> inner, int number, TraceWriter& writer)
        : inner_(std::move(inner)), number_(number), writer_(writer) {}

    bool Write(const std::uint8_t* report, std::size_t length) override {
        Op op = Start(OpKind::Write);
        op.data.assign(report, report + length);
        const CallTimer timer(writer_);
        op.ok = inner_->Write(report, length);
        return Finish(op, timer, op.ok);
    }

    ReadStatus Read(std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs) override {
        Op op = Start(OpKind::Read);
        op.length = length;
        op.timeout = timeoutMs;
        const CallTimer timer(writer_);
        op.status = inner_->Read(report, length, timeoutMs);
        if (op.status == ReadStatus::Ok) op.data.assign(report, report + length);
        Finish(op, timer, op.status != ReadStatus::Failed);
        return op.status;
    }

    std::uint8_t OutputReportId() override {
        Op op = Start(OpKind::ReportId);
        const CallTimer timer(writer_);
        op.id = inner_->OutputReportId();
        Finish(op, timer, true);
        return op.id;
    }

    bool GetIndexedString(std::uint8_t index, std::uint8_t* buffer, std::size_t length) override {
        Op op = Start(OpKind::String);
        op.index = index;
        op.length = length;
        const CallTimer timer(writer_);
        op.ok = inner_->GetIndexedString(index, buffer, length);
        if (op.ok) op.data.assign(buffer, buffer + length);
        return Finish(op, timer, op.ok);
    }

    bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
        Op op = Start(OpKind::Output);
        op.data.assign(report, report + length);
        const CallTimer timer(writer_);
        op.ok = inner_->SetOutputReport(report, length);
        return Finish(op, timer, op.ok);
    }

    bool GetAttributes(std::uint16_t& vid, std::uint16_t& pid) override {
        Op op = Start(OpKind::Attributes);
        const CallTimer timer(writer_);
        op.ok = inner_->GetAttributes(vid, pid);
        op.vid = vid;
        op.pid = pid;
        return Finish(op, timer, op.ok);
    }

    void DropQueuedInput() override {
        Op op = Start(OpKind::Drop);
        const CallTimer timer(writer_);
        inner_->DropQueuedInput();
        op.us = timer.Elapsed();
        writer_.Record(op);
    }

    std::uint32_t LastError() const override { return inner_->LastError(); }

  private:
    Op Start(OpKind kind) const {
        Op op;
        op.kind = kind;
        op.dev = number_;
        return op;
    }
    bool Finish(Op& op, const CallTimer& timer, bool succeeded) {
        op.us = timer.Elapsed();
        if (!succeeded) op.error = inner_->LastError();
        writer_.Record(op);
        return succeeded;
    }

    std::unique_ptr<IHidDevice> inner_;
    int number_;
    TraceWriter& writer_;
};

}  // namespace

TraceWriter::TraceWriter(const std::string& path, const RunChoices& choices)
    : start_(std::chrono::steady_clock::now()) {
    file_ = std::fopen(path.c_str(), "wb");
    owned_ = true;
    if (file_ != nullptr) {
        const std::string header = HeaderLine(choices);
        std::fwrite(header.data(), 1, header.size(), file_);
        std::fflush(file_);
    }
}

TraceWriter::TraceWriter(std::FILE* stream, const RunChoices& choices)
    : file_(stream), start_(std::chrono::steady_clock::now()) {
    if (file_ != nullptr) {
        const std::string header = HeaderLine(choices);
        std::fwrite(header.data(), 1, header.size(), file_);
    }
}

TraceWriter::~TraceWriter() {
    if (file_ != nullptr && owned_) std::fclose(file_);
}

std::uint64_t TraceWriter::Now() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - start_)
                                          .count());
}

void TraceWriter::Record(Op& op) {
    std::lock_guard lock(mutex_);
    if (file_ == nullptr) return;
    op.n = next_++;
    op.t = Now();
    const std::string line = FormatOp(op);
    // A full disk ends the recording, never the run.
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
        if (owned_) std::fclose(file_);
        file_ = nullptr;
    }
}

std::vector<std::string> RecordingBackend::EnumeratePaths() {
    Op op;
    op.kind = OpKind::Enumerate;
    const CallTimer timer(writer_);
    op.paths = inner_.EnumeratePaths();
    op.us = timer.Elapsed();
    op.locations.reserve(op.paths.size());
    for (const std::string& path : op.paths) op.locations.push_back(inner_.Location(path));
    writer_.Record(op);
    return op.paths;
}

std::unique_ptr<IHidDevice> RecordingBackend::Open(const std::string& path) {
    Op op;
    op.kind = OpKind::Open;
    op.path = path;
    op.location = inner_.Location(path);
    const CallTimer timer(writer_);
    std::unique_ptr<IHidDevice> device = inner_.Open(path);
    op.us = timer.Elapsed();
    if (device) {
        std::lock_guard lock(mutex_);
        op.dev = nextDevice_++;
        // Numbered and written under one lock, so numbers follow the lines.
        writer_.Record(op);
    } else {
        writer_.Record(op);
        return nullptr;
    }
    return std::make_unique<RecordingDevice>(std::move(device), op.dev, writer_);
}

bool RecordingHotplug::Start(HotplugCallback callback) {
    return inner_.Start(
        [this, callback = std::move(callback)](HotplugEvent event, const std::string& path) {
            Op op;
            op.kind = event == HotplugEvent::Arrival ? OpKind::Arrival : OpKind::Removal;
            op.path = path;
            op.location = hid_.Location(path);
            op.during = callsInProgress > 0;
            writer_.Record(op);
            if (callback) callback(event, path);
        });
}

bool RecordingRumble::IsConnected(unsigned userIndex) {
    Op op;
    op.kind = OpKind::RumbleConnected;
    op.user = userIndex;
    const CallTimer timer(writer_);
    op.connected = inner_.IsConnected(userIndex);
    op.us = timer.Elapsed();
    writer_.Record(op);
    return op.connected;
}

int RecordingRumble::UserIndexFor(const std::string& devicePath) {
    const CallTimer timer(writer_);
    const int index = inner_.UserIndexFor(devicePath);
    if (index == kNoLink) return index;
    Op op;
    op.kind = OpKind::RumbleDevice;
    op.path = devicePath;
    op.connected = index >= 0;
    op.user = op.connected ? static_cast<unsigned>(index) : 0;
    op.us = timer.Elapsed();
    writer_.Record(op);
    return index;
}

bool RecordingRumble::SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) {
    Op op;
    op.kind = OpKind::RumbleSet;
    op.user = userIndex;
    op.left = left;
    op.right = right;
    const CallTimer timer(writer_);
    op.ok = inner_.SetState(userIndex, left, right);
    op.us = timer.Elapsed();
    writer_.Record(op);
    return op.ok;
}

}  // namespace fwu::trace
