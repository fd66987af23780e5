#include "upgrade/status.h"

#include "base/text.h"

namespace fwu {

const char* StatusText(std::int32_t code) {
    switch (code) {
        case kStatusDeviceInfo:
            return "Firmware version error!(Cmd:0xE1)";
        case kStatusPreparePage:
            return "App prepare to write a page of data command failed!(Cmd:0xE2)";
        case kStatusPageData:
            return "App write a page of data command failed!";
        case kStatusPageAddress:
            return "App write erase a page of data command failed!(Cmd:0xE3)";
        case kStatusPageWrite:
            return "The App notifies the device that the command to write a page of data to Flash "
                   "failed!(Cmd:0xE4)";
        case kStatusChecksumRead:
            return "Device Checksum Read error!(Cmd:0xE5)";
        case kStatusChecksum:
            return "Checksum error!";
        case kStatusExitUpgrade:
            return "Exit upgrade, enter normal mode command failed!(Cmd:0xE4)";
        case kStatusWrongPackage:
            return "Firmware upgrade package is incorrect! (Upgrade ID inequality)";
        case kStatusDeviceRemoved:
            return "The device does not exist and has been removed!";
        default:
            return nullptr;
    }
}

std::string SuccessText(const std::vector<ImageResult>& results, bool showSubVersions) {
    std::string text = "Update and Verify OK!\n";
    for (const ImageResult& r : results) {
        if (r.hasSubVersion == 1 && showSubVersions) {
            text += Format("CheckSum:0x%08X\nRelease:0x%02X%02X\n", r.checksumTotal, r.fwVersion,
                           r.subVersion & 0xFFu);
        } else {
            text += Format("CheckSum:0x%08X\nRelease:0x%02X\n", r.checksumTotal, r.fwVersion);
        }
    }
    return text;
}

}  // namespace fwu
