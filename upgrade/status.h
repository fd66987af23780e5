// Status codes with which a failed update run ends, their message texts, and
// the report text of a successful run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "upgrade/context.h"

namespace fwu {

inline constexpr std::int32_t kStatusDeviceInfo = -1;      // command 0xE1
inline constexpr std::int32_t kStatusPreparePage = -2;     // command 0xE2
inline constexpr std::int32_t kStatusPageData = -3;        // a 64-byte data report
inline constexpr std::int32_t kStatusPageAddress = -4;     // command 0xE3
inline constexpr std::int32_t kStatusPageWrite = -5;       // command 0xE4
inline constexpr std::int32_t kStatusChecksumRead = -6;    // command 0xE5
inline constexpr std::int32_t kStatusChecksum = -7;        // page checksum mismatch
inline constexpr std::int32_t kStatusExitUpgrade = -8;     // never sent
inline constexpr std::int32_t kStatusWrongPackage = -9;    // update identifier / image
inline constexpr std::int32_t kStatusDeviceRemoved = -10;  // no device to continue with

// wParam of WM_UPGRADE_RESULT.
inline constexpr std::uintptr_t kResultSuccess = 0;
inline constexpr std::uintptr_t kResultFailure = 1;

// Message box text of a failure code -1..-10; nullptr for any other code.
const char* StatusText(std::int32_t code);

// "Update and Verify OK!\n" followed by one block per record, in list order:
// the long form (release with the sub-version byte) when the record's
// hasSubVersion is 1 and showSubVersions is set, the short form otherwise.
std::string SuccessText(const std::vector<ImageResult>& results, bool showSubVersions);

}  // namespace fwu
