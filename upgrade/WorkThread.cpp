#include "upgrade/WorkThread.h"

#include <system_error>
#include <utility>

#include "base/pause.h"
#include "base/text.h"
#include "device/DeviceManager.h"
#include "log/log.h"
#include "upgrade/Download.h"
#include "upgrade/status.h"

namespace fwu {

CWorkThread::CWorkThread(UpgradeContext& context, SlotTable& slots, std::string logTag)
    : context_(context), slots_(slots), logTag_(std::move(logTag)) {}

CWorkThread::~CWorkThread() {
    Shutdown();
}

bool CWorkThread::Start() {
    std::lock_guard lock(mutex_);
    if (started_ || !accepting_) return false;
    try {
        thread_ = std::thread(&CWorkThread::Run, this);
    } catch (const std::system_error&) {
        return false;
    }
    started_ = true;
    return true;
}

bool CWorkThread::PostThreadMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    {
        std::lock_guard lock(mutex_);
        if (!accepting_) return false;
        queue_.push_back(Message{msg, wParam, lParam});
        if (msg == WM_UPGRADE_START) ++jobsOutstanding_;
        if (msg == WM_UPGRADE_QUIT) accepting_ = false;
    }
    wake_.notify_one();
    return true;
}

void CWorkThread::RequestStop() {
    stop_.store(true);
}

void CWorkThread::Shutdown() {
    RequestStop();
    {
        std::lock_guard lock(mutex_);
        if (accepting_) queue_.push_back(Message{WM_UPGRADE_QUIT, 0, 0});
        accepting_ = false;
    }
    wake_.notify_one();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void CWorkThread::Run() {
    // Reads and pauses on this thread end early once the stop flag is set.
    CancelScope scope(stop_);
    const LogTagScope tag(logTag_);
    for (;;) {
        Message m{};
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return !queue_.empty(); });
            m = queue_.front();
            queue_.pop_front();
        }
        if (m.msg == WM_UPGRADE_QUIT) return;
        if (m.msg != WM_UPGRADE_START) continue;
        if (!stop_.load()) OnStartUpgrade(m.wParam, m.lParam);
        // Only now, after the job's last message to the dialog has been
        // handled, is the worker free for the next image.
        --jobsOutstanding_;
    }
}

void CWorkThread::OnStartUpgrade(std::uintptr_t wParam, std::intptr_t lParam) {
    job_ = DownloadJob{};
    job_.context = &context_;
    job_.stop = &stop_;
    if (stop_.load()) return;

    // The address must be the start of one of the dialog's image buffers; the
    // buffer's length bounds every read of the job.
    std::span<const std::uint8_t> bytes;
    bool known = false;
    if (context_.imageData != nullptr) {
        for (const std::vector<std::uint8_t>& buffer : *context_.imageData) {
            if (!buffer.empty() && reinterpret_cast<std::intptr_t>(buffer.data()) == lParam) {
                bytes = buffer;
                known = true;
                break;
            }
        }
    }
    if (!known || !PackageImage::Validate(bytes)) {
        FWU_LOG("Invalid firmware image, update stopped.");
        SendFailure(job_, kStatusWrongPackage);
        return;
    }
    job_.image = PackageImage(bytes);
    StartImageJob(static_cast<std::uint16_t>(wParam & 0xFFFFu));
}

void CWorkThread::StartImageJob(std::uint16_t key) {
    const ImageHeader& header = job_.image.header();
    if (key != header.updateId) {
        // The configuration record chose this image for a controller that
        // reports `key`, but the image itself is meant for another one: the
        // package is at fault, not the controller.
        FWU_LOGF("Package UpdateId:%X Image UpdateId:%X", unsigned{key}, header.updateId);
        SendFailure(job_, kStatusWrongPackage);
        return;
    }
    DeviceHandle device;
    for (int i = 0; i < SlotTable::kSlots; ++i) {
        DeviceSlot slot = slots_.Get(i);
        if (slot.hidDevice && !slot.hidDevice->gone() && slot.updateId == key) {
            device = slot.hidDevice;
            break;
        }
    }
    if (!device) {
        // The dialog stopped its timer when it handed the image over; end
        // the run rather than leave it waiting for an outcome.
        SendFailure(job_, kStatusDeviceRemoved);
        return;
    }

    job_.reportId = GetOutputReportId(*device);
    job_.startInfo = DeviceInfo{};
    if (!GetDeviceInfo(*device, &job_.startInfo, kModeUpgrade, 1)) {
        SendFailure(job_, kStatusDeviceInfo);
        return;
    }
    if (job_.startInfo.updateId != header.updateId) {
        SendFailure(job_, kStatusWrongPackage);
        return;
    }
    const bool generation2 = job_.startInfo.protocolVersion == 2.0f;

    bool download = true;
    bool excludesUpToDate = false;
    if (!context_.forceUpdate) {
        const std::uint32_t deviceVersion =
            (static_cast<std::uint32_t>(job_.startInfo.fwVersion) << 16) |
            job_.startInfo.subVersion;
        const std::uint32_t packageVersion = (header.fwVersion << 16) | header.subVersion;
        download = deviceVersion < packageVersion;
        excludesUpToDate = context_.totalExcludesUpToDate;
    }
    if (generation2) {
        DownLoadFirmware2_0(*device, job_, download, excludesUpToDate);
    } else {
        DownLoadFirmware1_0(*device, job_, download, excludesUpToDate);
    }
}

void CWorkThread::ReportProgress(bool advance) {
    fwu::ReportProgress(job_, advance);
}

}  // namespace fwu
