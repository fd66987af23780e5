// The state shared by the dialog and the upgrade worker, and the messages
// between them. The dialog writes the run state only while no image job
// runs; the worker writes its part only inside a job. Every message from the
// worker to the dialog is synchronous (the worker continues once the dialog
// has handled it), which orders the two threads' accesses.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "package/package.h"

namespace fwu {

// The messages between dialog and worker. Their numbers are those a window's
// queue carries (the first four of the private range), so the Win32 dialog
// forwards them unchanged; WM_UPGRADE_QUIT ends the worker's queue.
inline constexpr unsigned kUpgradeMessageBase = 0x0400;
inline constexpr unsigned WM_UPGRADE_QUIT = 0x0012;
inline constexpr unsigned WM_UPGRADE_START = kUpgradeMessageBase + 1;
inline constexpr unsigned WM_UPGRADE_PROGRESS = kUpgradeMessageBase + 2;
inline constexpr unsigned WM_UPGRADE_RESULT = kUpgradeMessageBase + 3;
inline constexpr unsigned WM_UPGRADE_IMAGE_DONE = kUpgradeMessageBase + 4;

struct ImageResult {
    std::uint32_t checksumTotal = 0;
    std::uint32_t fwVersion = 0;
    std::uint32_t subVersion = 0;
    std::uint32_t hasSubVersion = 0;
    bool operator==(const ImageResult&) const = default;
};

// The dialog's side of the worker's messages: handled on the dialog's thread,
// returning only when the handler (and any message box it opens) is done.
// lParam of a success WM_UPGRADE_RESULT is the address of upgradeResults.
class IUpgradeSink {
  public:
    virtual ~IUpgradeSink() = default;
    virtual std::intptr_t SendUpgradeMessage(unsigned msg, std::uintptr_t wParam,
                                             std::intptr_t lParam) = 0;
};

struct UpgradeContext {
    const PackageConfig* config = nullptr;  // source of imageCount
    std::vector<std::uint8_t> doneFlags;    // imageCount entries
    IUpgradeSink* hwnd = nullptr;           // target of every worker message
    std::int32_t currentImage = 0;
    // The dialog's image buffers (m_imageData); the worker accepts an image
    // address only when it is the start of one of them, which gives it the
    // image's length for the layout check.
    const UpdatePackage* imageData = nullptr;

    // Update-run state.
    double progressTotal = 0.0;
    std::int32_t progressCounter = 0;
    bool forceUpdate = false;
    bool totalExcludesUpToDate = false;
    std::vector<ImageResult> upgradeResults;
};

inline constexpr std::int32_t kMaxProgressRange = 30000;

// min(progressTotal, 30000), truncated.
inline std::int32_t ProgressRange(double progressTotal) {
    return progressTotal > kMaxProgressRange ? kMaxProgressRange
                                             : static_cast<std::int32_t>(progressTotal);
}

}  // namespace fwu
