#include "platform/linux/hid_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace fwu {
namespace {

ReportDescriptorInfo Parse(const std::vector<std::uint8_t>& bytes) {
    return ParseReportDescriptor(bytes);
}

// Typical vendor-page bootloader interface: 64-byte input and output reports.
const std::vector<std::uint8_t> kUnnumbered = {
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
};

TEST(ReportDescriptor, UnnumberedReportsGiveIdZero) {
    const auto info = Parse(kUnnumbered);
    EXPECT_EQ(info.outputReportId, 0);
    EXPECT_FALSE(info.numberedReports);
}

TEST(ReportDescriptor, OutputTakesTheReportIdInForce) {
    // Input report 1, then output report 2, then output report 3.
    const std::vector<std::uint8_t> d = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,                    //
        0x85, 0x01, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02,  // ID 1, Input
        0x85, 0x02, 0x09, 0x01, 0x91, 0x02,                          // ID 2, Output
        0x85, 0x03, 0x09, 0x01, 0x91, 0x02,                          // ID 3, Output
        0xC0,
    };
    const auto info = Parse(d);
    EXPECT_EQ(info.outputReportId, 2);
    EXPECT_TRUE(info.numberedReports);
}

TEST(ReportDescriptor, FeatureAndInputItemsDoNotCountAsOutput) {
    const std::vector<std::uint8_t> d = {
        0x75, 0x08,              // Report Size 8
        0x85, 0x05, 0xB1, 0x02,  // ID 5, Feature
        0x85, 0x06, 0x81, 0x02,  // ID 6, Input
        0x85, 0x07, 0x91, 0x02,  // ID 7, Output
    };
    EXPECT_EQ(Parse(d).outputReportId, 7);
}

TEST(ReportDescriptor, NoOutputItemGivesZeroButStillNumbered) {
    const std::vector<std::uint8_t> d = {0x85, 0x04, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02};
    const auto info = Parse(d);
    EXPECT_EQ(info.outputReportId, 0);
    EXPECT_TRUE(info.numberedReports);
}

TEST(ReportDescriptor, ItemDataSizesAreHonoured) {
    // A four-byte Logical Maximum whose data holds 0x91 and 0x85 bytes, a
    // long item hiding an Output prefix, then the real report ID and Output.
    const std::vector<std::uint8_t> d = {
        0x75, 0x08,                    // Report Size 8
        0x27, 0x91, 0x85, 0x09, 0x91,  // Logical Maximum (4 data bytes)
        0xFE, 0x02, 0x10, 0x91, 0x02,  // long item, 2 data bytes
        0x85, 0x09, 0x91, 0x02,        // ID 9, Output
    };
    EXPECT_EQ(Parse(d).outputReportId, 9);
}

TEST(ReportDescriptor, PushAndPopRestoreTheReportId) {
    const std::vector<std::uint8_t> d = {
        0x85, 0x01, 0x75, 0x08,  // ID 1, Report Size 8
        0xA4,                    // Push
        0x85, 0x02, 0x81, 0x02,  // ID 2, Input
        0xB4,                    // Pop -> ID 1
        0x91, 0x02,              // Output
    };
    EXPECT_EQ(Parse(d).outputReportId, 1);
}

TEST(ReportDescriptor, TruncatedOrEmptyInputIsSafe) {
    EXPECT_EQ(Parse({}).outputReportId, 0);
    EXPECT_FALSE(Parse({}).numberedReports);
    // Report ID item whose data byte is missing.
    EXPECT_FALSE(Parse({0x85}).numberedReports);
    // Long item claiming more data than there is.
    EXPECT_EQ(Parse({0xFE, 0x40, 0x00, 0x91}).outputReportId, 0);
    // A cut after a complete Output keeps what was learnt.
    EXPECT_EQ(Parse({0x75, 0x08, 0x85, 0x03, 0x91, 0x02, 0x26, 0xFF}).outputReportId, 3);
}

TEST(ReportDescriptor, UnbalancedPopAndDeepPushAreSafe) {
    std::vector<std::uint8_t> d = {0xB4, 0x75, 0x08, 0x85, 0x02};
    d.insert(d.end(), 100, 0xA4);  // more pushes than are kept
    d.insert(d.end(), 101, 0xB4);  // and one pop more than pushes
    d.insert(d.end(), {0x91, 0x02});
    EXPECT_EQ(Parse(d).outputReportId, 2);
}

TEST(ReportDescriptor, PaddingButtonsAndArraysAreNotTheFirstOutputValue) {
    // A keyboard-style LED report (five 1-bit fields and constant padding)
    // and an array come before the vendor value report: the ID is the
    // vendor report's, as the HID class driver lists output values.
    const std::vector<std::uint8_t> d = {
        0x05, 0x08, 0x85, 0x01,              // LEDs, ID 1
        0x75, 0x01, 0x95, 0x05, 0x91, 0x02,  // 5 x 1 bit, Output (Data, Variable)
        0x75, 0x03, 0x95, 0x01, 0x91, 0x03,  // 3 bits, Output (Constant): padding
        0x85, 0x02, 0x75, 0x08, 0x95, 0x02,  // ID 2, 2 x 8 bits
        0x91, 0x00,                          // Output (Data, Array)
        0x06, 0x00, 0xFF, 0x85, 0x04,        // vendor page, ID 4
        0x75, 0x08, 0x95, 0x3F, 0x09, 0x01,  // 63 x 8 bits
        0x91, 0x02,                          // Output (Data, Variable)
    };
    const auto info = Parse(d);
    EXPECT_EQ(info.outputReportId, 4);
    EXPECT_TRUE(info.numberedReports);
}

}  // namespace
}  // namespace fwu
