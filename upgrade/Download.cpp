// Download protocols 2.0 and 1.0 and their shared finish phase. The routines
// log under the device module's name, like the transport they build on.
#define FWU_LOG_FILE "DeviceManager.cpp"

#include "upgrade/Download.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "base/bytes.h"
#include "base/pause.h"
#include "base/text.h"
#include "log/log.h"
#include "upgrade/status.h"

namespace fwu {
namespace {

constexpr std::uint8_t kCmdPreparePage = 0xE2;
constexpr std::uint8_t kCmdPageAddress = 0xE3;
constexpr std::uint8_t kCmdPageWrite = 0xE4;
constexpr std::uint8_t kCmdReadChecksum = 0xE5;
constexpr std::uint8_t kCmdEndOfImage = 0xE6;

constexpr std::uint8_t kPrepareParam = 0xAB;
constexpr std::uint8_t kChecksumReadParam = 0x01;
constexpr std::uint8_t kMoreImagesFollow = 0x11;
constexpr std::uint8_t kLastImage = 0x12;
constexpr std::uint32_t kImageDonePauseMs = 3000;

// Reply of a 2.0 device to the end-of-image command that says every image is
// already in place; not when bytes 5..8 carry this marker.
constexpr char kAllUpdateOk[] = "ALLUpdateOK.";
constexpr std::uint8_t kAllUpdateOkVeto[4] = {0x1E, 0x05, 0xE1, 0xFA};

const char* FunctionName(ProtocolGeneration g) {
    return g == ProtocolGeneration::V2_0 ? "DownLoadFirmware2_0" : "DownLoadFirmware1_0";
}

void ClearPayload(DownloadJob& job) {
    std::fill(job.report.begin() + 1, job.report.end(), 0);
}

// Every logged write is a command whose reply is read next.
// `evenWhenStopping`: the closing exchange of a run, which a stop request
// does not cut short.
bool Write(HidHandle& device, DownloadJob& job, bool logOut, bool evenWhenStopping = false) {
    if (job.Stopping() && !evenWhenStopping) return false;
    return logOut ? SendCommandToDevice(device, job.report)
                  : SendDataToDevice(device, job.report, false);
}

bool Read(HidHandle& device, DownloadJob& job, bool evenWhenStopping = false) {
    if (job.Stopping() && !evenWhenStopping) return false;
    return ReadDataFromDevice(device, job.report);
}

bool IsOtherCommandFrame(const Report& report, std::uint8_t code) {
    return report[1] == 0xA5 && report[3] == 0x5A &&
           report[4] == static_cast<std::uint8_t>(report[2] ^ 0xFF) && report[2] != code;
}

// Write the command that is in the buffer, then optionally step, pause,
// clear and read its reply, then optionally step again.
bool CommandStep(HidHandle& device, DownloadJob& job, bool progressAfterWrite,
                 bool progressAfterRead) {
    if (!Write(device, job, true)) return false;
    if (progressAfterWrite) ReportProgress(job, true);
    PauseMs(1);
    ClearPayload(job);
    if (!Read(device, job)) return false;
    if (progressAfterRead) ReportProgress(job, true);
    return true;
}

void BuildAddressCommand(DownloadJob& job, std::uint8_t code, std::uint32_t address,
                         std::uint32_t second) {
    BuildCommand(job.report, code);
    StoreLe32(&job.report[5], address);
    StoreLe32(&job.report[9], second);
}

// 0xE5: ask for the checksum of what the device stored and compare it with
// the package's. A reply that cannot be read counts as a mismatch, so a page
// is never taken as verified without the device's answer.
// Read back the checksum of `page` and compare it with the package's: 0 when
// it matches, otherwise the status that ends the download.
std::int32_t VerifyPage(HidHandle& device, DownloadJob& job, ProtocolGeneration g,
                        std::uint32_t position, std::uint32_t page) {
    ClearPayload(job);
    BuildCommand(job.report, kCmdReadChecksum);
    StoreLe32(&job.report[5], job.image.pageAddress(page));
    job.report[9] = kChecksumReadParam;
    if (!Write(device, job, true)) return kStatusChecksumRead;
    if (g == ProtocolGeneration::V1_0) ReportProgress(job, true);
    PauseMs(1);
    ClearPayload(job);
    // A report framed as another command's reply is not the checksum the
    // device computed (a reply left over from an earlier exchange, or a
    // device repeating itself) and never verifies a page.
    const bool replied = Read(device, job) && !IsOtherCommandFrame(job.report, kCmdReadChecksum);
    const std::uint32_t expected = job.image.pageChecksum(page);
    const std::uint32_t actual = LoadLe32(&job.report[5]);
    if (!replied || actual != expected) {
        if (job.Stopping()) return kStatusChecksum;
        const char* fn = FunctionName(g);
        WriteLog(FWU_LOG_FILE, fn, __LINE__, "CheckSum error!");
        WriteLog(FWU_LOG_FILE, fn, __LINE__,
                 Format("升级包中的第%d页CheckSum:0x%X", static_cast<int>(position), expected));
        WriteLog(FWU_LOG_FILE, fn, __LINE__, Format("固件回应的CheckSum:0x%X", actual));
        return kStatusChecksum;
    }
    ReportProgress(job, true);
    return 0;
}

// Shared start of both routines; false when the image is not written and the
// finish phase follows at once.
bool Prepare(DownloadJob& job, bool download, bool totalExcludesUpToDate) {
    job.progressRange = ProgressRange(job.context->progressTotal);
    job.report[0] = job.reportId;
    if (!download) {
        if (!totalExcludesUpToDate) {
            job.context->progressCounter += static_cast<std::int32_t>(job.image.progressUnits());
        }
        return false;
    }
    ClearPayload(job);
    ReportProgress(job, false);
    PauseMs(1);
    return true;
}

// Pages go in ascending order with the final page held back and written
// last; `position` is the loop index that the log shows for it. `writePage`
// returns 0 for a page written and verified, or the status that ends the
// download; the first such status is returned (0 when every page went).
template <typename PageFn>
std::int32_t WritePages(const DownloadJob& job, PageFn&& writePage) {
    const std::uint32_t pageCount = job.image.pageCount();
    const std::uint32_t finalPage = job.image.finalPageIndex();
    for (std::uint64_t i = 0; i <= pageCount; ++i) {
        if (i == finalPage) continue;
        const std::uint32_t position = static_cast<std::uint32_t>(i);
        const std::uint32_t page = i == pageCount ? finalPage : position;
        const std::int32_t status = writePage(position, page);
        if (status != 0) return status;
    }
    return 0;
}

// Commit the page just sent (0xE4) and verify it by its checksum read-back.
std::int32_t CommitAndVerify(HidHandle& device, DownloadJob& job, ProtocolGeneration g,
                             std::uint32_t position, std::uint32_t page) {
    ClearPayload(job);
    BuildCommand(job.report, kCmdPageWrite);
    if (!CommandStep(device, job, true, true)) return kStatusPageWrite;
    return VerifyPage(device, job, g, position, page);
}

}  // namespace

void SendToDialog(DownloadJob& job, unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    if (job.Stopping() || job.context == nullptr || job.context->hwnd == nullptr) return;
    job.context->hwnd->SendUpgradeMessage(msg, wParam, lParam);
}

void SendFailure(DownloadJob& job, std::int32_t code) {
    SendToDialog(job, WM_UPGRADE_RESULT, kResultFailure, code);
}

void ReportProgress(DownloadJob& job, bool advance) {
    UpgradeContext& ctx = *job.context;
    if (advance) ++ctx.progressCounter;
    double pos = 0.0;
    if (ctx.progressTotal > 0.0) {
        pos = std::trunc(ctx.progressCounter / ctx.progressTotal * job.progressRange);
    }
    // Keep the value representable whatever the run state holds.
    pos = std::clamp(pos, -2147483648.0, 2147483647.0);
    SendToDialog(job, WM_UPGRADE_PROGRESS, 0, static_cast<std::intptr_t>(pos));
}

bool SendPageData(HidHandle& device, DownloadJob& job, std::uint32_t page, bool withProgress) {
    const ByteView data = job.image.page(page);
    if (data.empty()) return false;
    for (std::uint32_t k = 0; k < job.image.reportsPerPage(); ++k) {
        if (job.Stopping()) return false;
        std::memcpy(&job.report[1], data.data() + std::size_t{64} * k, 64);
        if (!SendDataToDevice(device, job.report, false)) return false;
        if (withProgress) ReportProgress(job, true);
    }
    return true;
}

void DownLoadFirmware2_0(HidHandle& device, DownloadJob& job, bool download,
                         bool totalExcludesUpToDate) {
    FWU_LOG("升级过程开始，2.0协议");
    if (Prepare(job, download, totalExcludesUpToDate)) {
        const std::int32_t status =
            WritePages(job, [&](std::uint32_t position, std::uint32_t page) {
                ClearPayload(job);
                BuildCommand(job.report, kCmdPreparePage);
                job.report[5] = kPrepareParam;
                if (!CommandStep(device, job, false, true)) return kStatusPreparePage;
                if (!SendPageData(device, job, page, true)) return kStatusPageData;
                ClearPayload(job);
                BuildAddressCommand(job, kCmdPageAddress, job.image.pageAddress(page),
                                    job.image.pageChecksum(page));
                if (!CommandStep(device, job, true, true)) return kStatusPageAddress;
                return CommitAndVerify(device, job, ProtocolGeneration::V2_0, position, page);
            });
        if (status != 0) {
            SendFailure(job, status);
            return;
        }
    }
    RunFinishPhase(device, job, ProtocolGeneration::V2_0);
}

void DownLoadFirmware1_0(HidHandle& device, DownloadJob& job, bool download,
                         bool totalExcludesUpToDate) {
    FWU_LOG("升级过程开始，1.0协议");
    if (Prepare(job, download, totalExcludesUpToDate)) {
        // Announce the final page and send its data ahead of the loop; it is
        // committed and verified in its place at the end.
        const std::uint32_t finalPage = job.image.finalPageIndex();
        ClearPayload(job);
        BuildAddressCommand(job, kCmdPageAddress, job.image.pageAddress(finalPage), finalPage);
        if (!CommandStep(device, job, false, false)) {
            SendFailure(job, kStatusPageAddress);
            return;
        }
        if (!SendPageData(device, job, finalPage, false)) {
            SendFailure(job, kStatusPageData);
            return;
        }
        const std::int32_t status =
            WritePages(job, [&](std::uint32_t position, std::uint32_t page) {
                ClearPayload(job);
                BuildAddressCommand(job, kCmdPageAddress, job.image.pageAddress(page), page);
                if (!CommandStep(device, job, true, true)) return kStatusPageAddress;
                if (!SendPageData(device, job, page, true)) return kStatusPageData;
                return CommitAndVerify(device, job, ProtocolGeneration::V1_0, position, page);
            });
        if (status != 0) {
            SendFailure(job, status);
            return;
        }
    }
    RunFinishPhase(device, job, ProtocolGeneration::V1_0);
}

void RunFinishPhase(HidHandle& device, DownloadJob& job, ProtocolGeneration generation) {
    if (job.Stopping()) return;
    UpgradeContext& ctx = *job.context;
    DeviceInfo info{};
    if (!GetDeviceInfo(device, &info, kModeUpgrade, 1)) {
        SendFailure(job, kStatusDeviceInfo);
        return;
    }
    ReportProgress(job, generation == ProtocolGeneration::V2_0);

    const std::uint32_t imageCount = ctx.config != nullptr ? ctx.config->imageCount : 0;
    if (ctx.currentImage >= 0 &&
        static_cast<std::size_t>(ctx.currentImage) < ctx.doneFlags.size()) {
        ctx.doneFlags[static_cast<std::size_t>(ctx.currentImage)] = 1;
    }
    const std::size_t counted = std::min<std::size_t>(imageCount, ctx.doneFlags.size());
    const auto done = static_cast<std::uint32_t>(
        std::count_if(ctx.doneFlags.begin(), ctx.doneFlags.begin() + static_cast<long>(counted),
                      [](std::uint8_t f) { return f != 0; }));

    ctx.upgradeResults.push_back(ImageResult{job.image.checksumSum(), info.fwVersion,
                                             info.subVersion, job.image.header().hasSubVersion});
    const bool allDone = imageCount >= 1 && done == imageCount;
    const auto results = reinterpret_cast<std::intptr_t>(&ctx.upgradeResults);
    if (allDone) {
        SendToDialog(job, WM_UPGRADE_RESULT, kResultSuccess, results);
        job.successSent = true;
    }
    WriteLog(FWU_LOG_FILE, FunctionName(generation), __LINE__,
             Format("第%d个IC升级结束", ctx.currentImage + 1));

    // Once the run is complete the controller must hear so, or it stays in
    // its bootloader: a stop request no longer cuts this exchange short (it
    // still ends the pause that follows).
    std::optional<UninterruptedScope> closing;
    if (allDone) closing.emplace();
    ClearPayload(job);
    BuildCommand(job.report, kCmdEndOfImage);
    job.report[5] = (imageCount <= 1 || allDone) ? kLastImage : kMoreImagesFollow;
    if (!Write(device, job, true, allDone)) {
        // The dialog waits for the run's outcome; unless it already has it,
        // end the run as a lost device rather than leave it waiting.
        if (!job.successSent) SendFailure(job, kStatusDeviceRemoved);
        return;
    }
    PauseMs(1);
    ClearPayload(job);
    const bool replied = Read(device, job, allDone);
    if (generation == ProtocolGeneration::V2_0 && replied && !allDone &&
        std::memcmp(&job.report[5], kAllUpdateOkVeto, sizeof kAllUpdateOkVeto) != 0 &&
        std::memcmp(&job.report[9], kAllUpdateOk, sizeof kAllUpdateOk - 1) == 0) {
        // The controller holds every image already: this closes the run.
        closing.emplace();
        SendToDialog(job, WM_UPGRADE_RESULT, kResultSuccess, results);
        job.successSent = true;
        ClearPayload(job);
        BuildCommand(job.report, kCmdEndOfImage);
        job.report[5] = kLastImage;
        if (!Write(device, job, true, true)) return;
        ClearPayload(job);
        Read(device, job, true);
    }
    closing.reset();
    if (job.Stopping()) return;
    PauseMs(kImageDonePauseMs);
    SendToDialog(job, WM_UPGRADE_IMAGE_DONE, 0, 0);
}

}  // namespace fwu
