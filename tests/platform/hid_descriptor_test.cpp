#include "platform/linux/hid_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace fwu {
namespace {

std::vector<std::uint8_t> DeepPushes() {
    // Appended one by one: mingw-w64's gcc 12 (Release) reports out-of-bounds
    // copies inside a fill insert into this growing vector that cannot happen.
    std::vector<std::uint8_t> d = {0xB4, 0x75, 0x08, 0x85, 0x02};
    for (int i = 0; i < 100; ++i) d.push_back(0xA4);  // more pushes than are kept
    for (int i = 0; i < 101; ++i) d.push_back(0xB4);  // and one pop more than pushes
    d.push_back(0x91);
    d.push_back(0x02);
    return d;
}

// The output report ID the HID class driver would use, and whether the
// interface numbers its reports, for descriptors sound and broken.
TEST(ReportDescriptor, OutputReportIdAndNumbering) {
    const struct Case {
        const char* what;
        std::vector<std::uint8_t> descriptor;
        std::uint8_t outputId;
        bool numbered;
    } cases[] = {
        {"vendor-page bootloader interface, 64-byte unnumbered reports",
         {
             0x06, 0x00, 0xFF,        // Usage Page (vendor)
             0x09, 0x01,              // Usage
             0xA1, 0x01,              // Collection (Application)
             0x15, 0x00,              // Logical Minimum 0
             0x26, 0xFF, 0x00,        // Logical Maximum 255
             0x75, 0x08,              // Report Size 8
             0x95, 0x40,              // Report Count 64
             0x09, 0x01, 0x81, 0x02,  // Usage, Input
             0x09, 0x01, 0x91, 0x02,  // Usage, Output
             0xC0,                    // End Collection
         },
         0,
         false},
        {"output takes the report ID in force",
         {
             0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,                    //
             0x85, 0x01, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02,  // ID 1, Input
             0x85, 0x02, 0x09, 0x01, 0x91, 0x02,                          // ID 2, Output
             0x85, 0x03, 0x09, 0x01, 0x91, 0x02,                          // ID 3, Output
             0xC0,
         },
         2,
         true},
        {"feature and input items are not output",
         {
             0x75, 0x08,              // Report Size 8
             0x85, 0x05, 0xB1, 0x02,  // ID 5, Feature
             0x85, 0x06, 0x81, 0x02,  // ID 6, Input
             0x85, 0x07, 0x91, 0x02,  // ID 7, Output
         },
         7,
         true},
        {"no output item: 0, but numbered",
         {0x85, 0x04, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02},
         0,
         true},
        // A four-byte Logical Maximum whose data holds 0x91 and 0x85 bytes, a
        // long item hiding an Output prefix, then the real report ID and Output.
        {"item data sizes are honoured",
         {
             0x75, 0x08,                    // Report Size 8
             0x27, 0x91, 0x85, 0x09, 0x91,  // Logical Maximum (4 data bytes)
             0xFE, 0x02, 0x10, 0x91, 0x02,  // long item, 2 data bytes
             0x85, 0x09, 0x91, 0x02,        // ID 9, Output
         },
         9,
         true},
        {"push and pop restore the report ID",
         {
             0x85, 0x01, 0x75, 0x08,  // ID 1, Report Size 8
             0xA4,                    // Push
             0x85, 0x02, 0x81, 0x02,  // ID 2, Input
             0xB4,                    // Pop -> ID 1
             0x91, 0x02,              // Output
         },
         1,
         true},
        // A keyboard-style LED report (five 1-bit fields and constant padding)
        // and an array come before the vendor value report: the ID is the
        // vendor report's, as the HID class driver lists output values.
        {"padding, buttons and arrays are not the first output value",
         {
             0x05, 0x08, 0x85, 0x01,              // LEDs, ID 1
             0x75, 0x01, 0x95, 0x05, 0x91, 0x02,  // 5 x 1 bit, Output (Data, Variable)
             0x75, 0x03, 0x95, 0x01, 0x91, 0x03,  // 3 bits, Output (Constant): padding
             0x85, 0x02, 0x75, 0x08, 0x95, 0x02,  // ID 2, 2 x 8 bits
             0x91, 0x00,                          // Output (Data, Array)
             0x06, 0x00, 0xFF, 0x85, 0x04,        // vendor page, ID 4
             0x75, 0x08, 0x95, 0x3F, 0x09, 0x01,  // 63 x 8 bits
             0x91, 0x02,                          // Output (Data, Variable)
         },
         4,
         true},
        {"empty", {}, 0, false},
        {"report ID item without its data byte", {0x85}, 0, false},
        {"long item claiming more data than there is", {0xFE, 0x40, 0x00, 0x91}, 0, false},
        {"a cut after a complete output keeps what was learnt",
         {0x75, 0x08, 0x85, 0x03, 0x91, 0x02, 0x26, 0xFF},
         3,
         true},
        {"unbalanced pop and deep push", DeepPushes(), 2, true},
    };
    for (const auto& c : cases) {
        const auto info = ParseReportDescriptor(c.descriptor);
        EXPECT_EQ(info.outputReportId, c.outputId) << c.what;
        EXPECT_EQ(info.numberedReports, c.numbered) << c.what;
    }
}

}  // namespace
}  // namespace fwu
