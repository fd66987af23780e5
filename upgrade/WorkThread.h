// The upgrade worker: one thread with its own queue of start requests,
// started once and living until shut-down. Each WM_UPGRADE_START runs one
// image job to its end; a second request waits in the queue. Messages to the
// dialog go synchronously through UpgradeContext::hwnd.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "device/slots.h"
#include "upgrade/Download.h"
#include "upgrade/context.h"

namespace fwu {

class CWorkThread {
  public:
    // `context` and `slots` must outlive the worker (Shutdown joins it).
    // `logTag` tags every log line of the worker's thread (LogTagScope).
    explicit CWorkThread(UpgradeContext& context, SlotTable& slots = m_hUpdate,
                         std::string logTag = {});
    ~CWorkThread();  // Shutdown()
    CWorkThread(const CWorkThread&) = delete;
    CWorkThread& operator=(const CWorkThread&) = delete;

    // Start the thread (once); false if it already ran or could not start.
    bool Start();

    // Queue a message for the worker: WM_UPGRADE_START (wParam the update
    // identifier, lParam the address of the image's first byte, one of the
    // buffers of UpgradeContext::imageData) or WM_UPGRADE_QUIT. False once the worker
    // is stopping or has ended.
    bool PostThreadMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);

    // Ask a running job to stop: transfers and pauses on the worker end early
    // and no further message reaches the dialog. Callable from any thread,
    // also from inside the sink.
    void RequestStop();

    // RequestStop, post WM_UPGRADE_QUIT and wait for the thread. A running job ends
    // at its next transfer (a pending read or pause is cut short). Not to be
    // called from inside the sink.
    void Shutdown();

    bool Running() const { return thread_.joinable(); }

    // No image job queued or running: every job handed over has ended,
    // including its closing pause and its last message to the dialog.
    bool Idle() const { return jobsOutstanding_.load() == 0; }

    // The worker's handlers, public so that a caller can run a job on its own
    // thread (tests, benchmarks).
    void OnStartUpgrade(std::uintptr_t wParam, std::intptr_t lParam);
    // Find the slot, identify the device, choose the protocol generation,
    // decide whether to write, and run the download.
    void StartImageJob(std::uint16_t key);
    // Progress step of the current job.
    void ReportProgress(bool advance);

  private:
    struct Message {
        unsigned msg;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };

    void Run();

    UpgradeContext& context_;
    SlotTable& slots_;
    const std::string logTag_;
    std::atomic<bool> stop_{false};
    std::atomic<int> jobsOutstanding_{0};  // WM_UPGRADE_START posted, job not ended
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Message> queue_;
    bool accepting_ = true;
    bool started_ = false;
    DownloadJob job_;  // values of the current job, written only by the worker
    std::thread thread_;
};

}  // namespace fwu
