// Reading the parts of a HID report descriptor that the transport needs: the
// report ID to put in front of output reports and whether the device numbers
// its reports at all (hidraw then delivers the ID as the first byte of every
// input report). Pure code, no system calls, so it is tested on every build.
#pragma once

#include <cstdint>
#include <span>

namespace fwu {

struct ReportDescriptorInfo {
    // Report ID of the first output value field, as the HID class driver of
    // the other platform lists output value capabilities: Output main items
    // that are constant (padding) or that it lists as buttons (fields of one
    // bit, and arrays) are passed over. 0 when the first value field comes
    // before any Report ID item or there is none.
    std::uint8_t outputReportId = 0;
    // True when the descriptor declares any Report ID.
    bool numberedReports = false;
};

// Walks the short (and skips the long) items of `descriptor`. A truncated
// item ends the walk; what was learnt up to there is returned.
ReportDescriptorInfo ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace fwu
