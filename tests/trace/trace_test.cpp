// Traces read back as written, damaged traces refused with the line at fault,
// and a replay that stops at the first request that differs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "trace/format.h"
#include "trace/recorder.h"
#include "trace/replay.h"

namespace fwu::trace {
namespace {

Op Write(int dev, std::vector<std::uint8_t> data) {
    Op op;
    op.kind = OpKind::Write;
    op.dev = dev;
    op.data = std::move(data);
    op.ok = true;
    return op;
}

// enumerate, open, write, read, failed write: the text and its operations.
std::string SmallTrace(std::vector<Op>& ops) {
    // Backslashes, a quote and a tab, as a system could hand out.
    const std::string path = "\\\\?\\hid#vid_3a5c&pid_0001#sim&0&0002#{\"x\"\t}";
    Op enumerate;
    enumerate.kind = OpKind::Enumerate;
    enumerate.paths = {path};
    Op open;
    open.kind = OpKind::Open;
    open.path = path;
    open.dev = 1;
    Op read;
    read.kind = OpKind::Read;
    read.dev = 1;
    read.length = 4;
    read.timeout = 50;
    read.data = {0x00, 0xA5, 0xE1, 0x5A};
    Op failed = Write(1, {0x00, 0x01});
    failed.ok = false;
    failed.error = 0x48F;
    ops = {enumerate, open, Write(1, {0x00, 0xA5, 0xE1, 0x5A, 0x1E}), read, failed};
    std::string text = HeaderLine();
    for (std::size_t k = 0; k < ops.size(); ++k) {
        ops[k].n = k + 1;
        ops[k].t = 100 * (k + 1);
        text += FormatOp(ops[k]);
    }
    return text;
}

TEST(TraceFile, ReadsBackWhatWasWrittenAndNamesTheLineOfADamagedOne) {
    std::vector<Op> ops;
    const std::string text = SmallTrace(ops);
    std::string error;
    const std::optional<Trace> trace = ParseTrace(text, error);
    ASSERT_TRUE(trace) << error;
    ASSERT_EQ(trace->ops.size(), ops.size());
    for (std::size_t k = 0; k < ops.size(); ++k) {
        EXPECT_EQ(FormatOp(trace->ops[k]), FormatOp(ops[k]));
        EXPECT_TRUE(SameRequest(trace->ops[k], ops[k]));
    }
    EXPECT_EQ(trace->ops[4].error, 0x48Fu);

    auto damaged = [](const std::string& t) {
        std::string why;
        EXPECT_FALSE(ParseTrace(t, why));
        return why;
    };
    // Cut off in the middle of its last line, as by a pulled plug.
    EXPECT_EQ(damaged(text.substr(0, text.size() - 10)),
              "line 6: the trace is cut off (the last line has no line feed)");
    std::string bad = text;
    bad.replace(bad.find("00a5e15a1e"), 2, "0z");
    EXPECT_EQ(damaged(bad), "line 4: \"data\" must be hexadecimal bytes");
    bad = text;
    bad.replace(bad.find("\"n\":2"), 5, "\"n\":7");
    EXPECT_EQ(damaged(bad), "line 3: operation 7 where 2 was expected");
    bad = text;
    bad.replace(bad.find("\"version\":1"), 11, "\"version\":9");
    EXPECT_NE(damaged(bad).find("line 1: trace format version not supported"), std::string::npos);
    EXPECT_NE(damaged("{\"n\":1}\n").find("not a FirmwareUpgrade trace"), std::string::npos);
    EXPECT_EQ(damaged(text.substr(0, text.find('\n') + 1) + "{\"n\":1,\n"),
              "line 2: not valid JSON");
    EXPECT_EQ(damaged(""), "the trace is empty");
}

TEST(Replay, AnswersAsRecordedAndStopsAtTheFirstDifference) {
    std::vector<Op> ops;
    std::string error;
    std::optional<Trace> trace = ParseTrace(SmallTrace(ops), error);
    ASSERT_TRUE(trace) << error;
    std::atomic<int> differences{0};
    std::string message;
    ReplaySession replay(std::move(*trace), ReplayOptions{true, [&](const std::string& m) {
                                                              message = m;
                                                              ++differences;
                                                          }});
    ASSERT_EQ(replay.EnumeratePaths(), ops[0].paths);
    std::unique_ptr<IHidDevice> device = replay.Open(ops[1].path);
    ASSERT_NE(device, nullptr);
    const std::uint8_t command[] = {0x00, 0xA5, 0xE1, 0x5A, 0x1E};
    EXPECT_TRUE(device->Write(command, sizeof command));
    std::uint8_t reply[4] = {};
    EXPECT_EQ(device->Read(reply, sizeof reply, 50), ReadStatus::Ok);
    EXPECT_EQ(reply[2], 0xE1);
    // The recorded write of 00 01 failed; the tool asks for 00 02 instead.
    const std::uint8_t other[] = {0x00, 0x02};
    EXPECT_FALSE(device->Write(other, sizeof other));
    EXPECT_EQ(differences.load(), 1);
    EXPECT_EQ(message,
              "the run differs from the trace at operation 5: recorded write on device 1: 00 01, "
              "asked write on device 1: 00 02");
    // Nothing succeeds after a difference.
    EXPECT_FALSE(device->Write(command, sizeof command));
    EXPECT_EQ(device->Read(reply, sizeof reply, 50), ReadStatus::Failed);
    EXPECT_EQ(differences.load(), 1);
    EXPECT_EQ(replay.Difference(), message);
}

// Rumble where the platform ties a game controller to a HID interface
// (Linux) is recorded as that lookup, and the replay answers it; where it
// does not (the default), nothing of the lookup is recorded, so traces of
// such runs and older traces replay as before.
TEST(RumbleTrace, TheLookupOfALinkedControllerIsRecordedAndReplayed) {
    class LinkedRumble : public IRumble {
      public:
        bool IsConnected(unsigned) override { return true; }
        bool SetState(unsigned, std::uint16_t, std::uint16_t) override { return true; }
        int UserIndexFor(const std::string& path) override { return path == "pad" ? 2 : kNone; }
    } linked;
    class UnlinkedRumble : public LinkedRumble {
        int UserIndexFor(const std::string&) override { return kNoLink; }
    } unlinked;

    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        TraceWriter writer(file);
        RecordingRumble recordLinked(linked, writer);
        RecordingRumble recordUnlinked(unlinked, writer);
        EXPECT_EQ(recordUnlinked.UserIndexFor("pad"), IRumble::kNoLink);
        EXPECT_EQ(recordLinked.UserIndexFor("pad"), 2);
        EXPECT_EQ(recordLinked.UserIndexFor("keyboard"), IRumble::kNone);
    }
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(file);
    std::string error;
    std::optional<Trace> trace = ParseTrace(text, error);
    ASSERT_TRUE(trace) << error << text;
    ASSERT_EQ(trace->ops.size(), 2u) << text;
    EXPECT_NE(text.find("\"op\":\"rumble-device\",\"path\":\"pad\",\"connected\":true,\"user\":2}"),
              std::string::npos)
        << text;

    ReplaySession replay(std::move(*trace), ReplayOptions{true, {}});
    EXPECT_EQ(replay.UserIndexFor("pad"), 2);
    EXPECT_EQ(replay.UserIndexFor("keyboard"), IRumble::kNone);
    EXPECT_EQ(replay.Difference(), "");

    std::vector<Op> ops;
    std::optional<Trace> small = ParseTrace(SmallTrace(ops), error);
    ASSERT_TRUE(small);
    ReplaySession older(std::move(*small), ReplayOptions{true, {}});
    EXPECT_EQ(older.UserIndexFor("pad"), IRumble::kNoLink);
}

}  // namespace
}  // namespace fwu::trace
