// The two download protocols (generations 2.0 and 1.0) and their shared
// finish phase. One call writes one image into a controller in upgrade mode,
// page by page, verifies every page's checksum and tells the controller the
// image is complete. Progress and outcome go to the dialog as messages
// through the job's context.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/DeviceManager.h"
#include "package/package.h"
#include "upgrade/context.h"

namespace fwu {

enum class ProtocolGeneration { V1_0, V2_0 };

// Everything one image job needs; made by the worker when a start request
// arrives and valid until the job ends.
struct DownloadJob {
    PackageImage image;                       // a validated image, read in place
    std::uint8_t reportId = 0;                // byte 0 of every report of the job
    UpgradeContext* context = nullptr;        // run state and the dialog's sink
    const std::atomic<bool>* stop = nullptr;  // set when the tool shuts down
    DeviceInfo startInfo{};                   // read at job start
    std::int32_t progressRange = 0;
    bool successSent = false;  // this job has sent WM_UPGRADE_RESULT (0, ...)
    Report report{};           // the one buffer for every report and reply

    bool Stopping() const { return stop != nullptr && stop->load(); }
};

// Send a message to the dialog and wait for it to be handled; nothing is
// sent once the job is stopping.
void SendToDialog(DownloadJob& job, unsigned msg, std::uintptr_t wParam, std::intptr_t lParam);

// End the run with WM_UPGRADE_RESULT (1, code).
void SendFailure(DownloadJob& job, std::int32_t code);

// Optionally advance progressCounter by one, then send the scaled position.
void ReportProgress(DownloadJob& job, bool advance);

void DownLoadFirmware2_0(HidHandle& device, DownloadJob& job, bool download,
                         bool totalExcludesUpToDate);
void DownLoadFirmware1_0(HidHandle& device, DownloadJob& job, bool download,
                         bool totalExcludesUpToDate);

// The data reports of one page, in order; false at the first that cannot be
// written (or when the job is stopping).
bool SendPageData(HidHandle& device, DownloadJob& job, std::uint32_t page, bool withProgress);

// Closing device query, result record, success once every image is done,
// end-of-image command, 3000 ms pause and WM_UPGRADE_IMAGE_DONE.
void RunFinishPhase(HidHandle& device, DownloadJob& job, ProtocolGeneration generation);

}  // namespace fwu
