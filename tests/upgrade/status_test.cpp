#include "upgrade/status.h"

#include <gtest/gtest.h>

namespace fwu {
namespace {

TEST(StatusText, KnownCodesHaveTheirTextsOthersNone) {
    EXPECT_STREQ(StatusText(-1), "Firmware version error!(Cmd:0xE1)");
    EXPECT_STREQ(StatusText(-2), "App prepare to write a page of data command failed!(Cmd:0xE2)");
    EXPECT_STREQ(StatusText(-3), "App write a page of data command failed!");
    EXPECT_STREQ(StatusText(-4), "App write erase a page of data command failed!(Cmd:0xE3)");
    EXPECT_STREQ(StatusText(-5),
                 "The App notifies the device that the command to write a page of data to Flash "
                 "failed!(Cmd:0xE4)");
    EXPECT_STREQ(StatusText(-6), "Device Checksum Read error!(Cmd:0xE5)");
    EXPECT_STREQ(StatusText(-7), "Checksum error!");
    EXPECT_STREQ(StatusText(-8), "Exit upgrade, enter normal mode command failed!(Cmd:0xE4)");
    EXPECT_STREQ(StatusText(-9), "Firmware upgrade package is incorrect! (Upgrade ID inequality)");
    EXPECT_STREQ(StatusText(-10), "The device does not exist and has been removed!");
    for (int code : {0, 1, -11, -100}) EXPECT_EQ(StatusText(code), nullptr) << code;
}

TEST(SuccessText, LongFormOnlyWithSubVersionFlagAndDisplay) {
    const std::vector<ImageResult> results{{0x00974846, 0x0140, 0x0001, 1},
                                           {0x1234, 0x0120, 0x0107, 0}};
    EXPECT_EQ(SuccessText(results, true),
              "Update and Verify OK!\nCheckSum:0x00974846\nRelease:0x14001\n"
              "CheckSum:0x00001234\nRelease:0x120\n");
    EXPECT_EQ(SuccessText(results, false),
              "Update and Verify OK!\nCheckSum:0x00974846\nRelease:0x140\n"
              "CheckSum:0x00001234\nRelease:0x120\n");
    // Only the low byte of the sub-version; a flag other than 1 is the short form.
    EXPECT_EQ(SuccessText({{1, 0x5, 0x1FF, 1}, {2, 0x6, 0x1, 2}}, true),
              "Update and Verify OK!\nCheckSum:0x00000001\nRelease:0x05FF\n"
              "CheckSum:0x00000002\nRelease:0x06\n");
    EXPECT_EQ(SuccessText({}, true), "Update and Verify OK!\n");
}

}  // namespace
}  // namespace fwu
