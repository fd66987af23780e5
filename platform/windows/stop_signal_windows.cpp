// Stop requests on Windows: the console's control events, through a console
// control handler. The system calls the handler on a thread of its own for
// each event; Ctrl+C and Ctrl+Break are taken as requests and the process
// goes on. When the console is closed, or the user logs off or the system
// shuts down, the process is ended as soon as the handler returns (or after
// a few seconds), so the handler waits, bounded, for the program to stop.
// A program without a console (the dialog started from Explorer) gets none.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "platform/platform.h"

namespace fwu {
namespace {

// Less than the system's grace period after a closed console (5 s).
constexpr DWORD kEndingWaitMs = 4000;

class ConsoleControlSource;
std::atomic<ConsoleControlSource*> g_source{nullptr};

const char* EventName(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            return "Ctrl+C";
        case CTRL_BREAK_EVENT:
            return "Ctrl+Break";
        case CTRL_CLOSE_EVENT:
            return "the console closing";
        case CTRL_LOGOFF_EVENT:
            return "the user logging off";
        case CTRL_SHUTDOWN_EVENT:
            return "the system shutting down";
        default:
            return "a console event";
    }
}

class ConsoleControlSource final : public IStopSignalSource {
  public:
    ConsoleControlSource() : stopped_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~ConsoleControlSource() override {
        Stop();
        if (stopped_ != nullptr) CloseHandle(stopped_);
    }
    ConsoleControlSource(const ConsoleControlSource&) = delete;
    ConsoleControlSource& operator=(const ConsoleControlSource&) = delete;

    bool Start(StopRequestHandler handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (handler_ || !handler || stopped_ == nullptr) return false;
        ConsoleControlSource* expected = nullptr;
        if (!g_source.compare_exchange_strong(expected, this)) return false;
        handler_ = std::move(handler);
        ResetEvent(stopped_);
        if (!SetConsoleCtrlHandler(&OnControl, TRUE)) {
            g_source.store(nullptr);
            handler_ = nullptr;
            return false;
        }
        return true;
    }

    void Stop() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!handler_) return;
            SetConsoleCtrlHandler(&OnControl, FALSE);
            g_source.store(nullptr);
            SetEvent(stopped_);
        }
        // A handler call in progress ends before the handler goes.
        std::lock_guard<std::mutex> calling(calling_);
        std::lock_guard<std::mutex> lock(mutex_);
        handler_ = nullptr;
    }

  private:
    static BOOL WINAPI OnControl(DWORD event) {
        ConsoleControlSource* source = g_source.load();
        if (source == nullptr) return FALSE;
        source->Deliver(event);
        if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT ||
            event == CTRL_SHUTDOWN_EVENT) {
            // Returning lets the system end the process: give the program
            // the time to stop first.
            WaitForSingleObject(source->stopped_, kEndingWaitMs);
        }
        return TRUE;
    }

    void Deliver(DWORD event) {
        std::lock_guard<std::mutex> calling(calling_);
        StopRequestHandler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            handler = handler_;
        }
        if (handler) handler(StopRequest{++count_, EventName(event)});
    }

    std::mutex mutex_;
    std::mutex calling_;  // held while the handler runs: one call at a time
    StopRequestHandler handler_;
    HANDLE stopped_;  // set by Stop()
    std::atomic<int> count_{0};
};

}  // namespace

void HoldStopSignals() {}

std::unique_ptr<IStopSignalSource> CreatePlatformStopSignals() {
    return std::make_unique<ConsoleControlSource>();
}

}  // namespace fwu
