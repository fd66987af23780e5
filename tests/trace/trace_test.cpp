// Traces read back as written, damaged or oversized traces refused with the
// line at fault, a replay that stops at the first request that differs and
// tells where a run stopped short of the trace, and its pacing cut by a stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "base/pause.h"
#include "sim/sim.h"
#include "tests/support/files.h"
#include "tests/support/services.h"
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
    std::string text = HeaderLine({});
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
    bad.replace(bad.find("\"version\":2"), 11, "\"version\":9");
    EXPECT_NE(damaged(bad).find("line 1: trace format version not supported"), std::string::npos);
    EXPECT_NE(damaged("{\"n\":1}\n").find("not a FirmwareUpgrade trace"), std::string::npos);
    EXPECT_EQ(damaged(text.substr(0, text.find('\n') + 1) + "{\"n\":1,\n"),
              "line 2: not valid JSON");
    EXPECT_EQ(damaged(""), "the trace is empty");

    // Limits and times, each refused at its line.
    const std::size_t second = text.find('\n') + 1;
    const std::string header = text.substr(0, second);
    std::string longLine = text.substr(second, text.find('\n', second) + 1 - second);
    longLine.insert(longLine.find("\"]"), std::string(kMaxLineBytes, 'x'));
    EXPECT_EQ(damaged(header + longLine),
              "line 2: longer than 65536 bytes (a line of a trace is under 1 KB)");
    EXPECT_EQ(damaged(header + std::string(30000, '[') + std::string(30000, ']') + "\n"),
              "line 2: not a JSON object");
    bad = text;
    bad.replace(bad.find("\"t\":300"), 7, "\"t\":150");
    EXPECT_EQ(damaged(bad), "line 4: \"t\" goes back in time (150 after 200)");
    bad = text;
    bad.replace(bad.find("\"t\":100"), 7, "\"t\":1000000000000");
    EXPECT_EQ(damaged(bad),
              "line 2: \"t\" is 1000000000000 microseconds, more than a day (86400000000) "
              "after the start");
    bad = text;
    bad.replace(bad.find("\"us\":0"), 6, "\"us\":101");
    EXPECT_EQ(damaged(bad),
              "line 2: \"us\" is longer than \"t\" (the call would have begun before the start)");
}

TEST(TraceFile, HeaderCarriesTheRunsChoicesAndUnknownMembersAreIgnored) {
    std::string error;
    const RunChoices choices{.window = false, .update = true, .force = true};
    std::optional<Trace> trace = ParseTrace(HeaderLine(choices), error);
    ASSERT_TRUE(trace) << error;
    EXPECT_EQ(trace->choices, choices);
    // Version 1 says nothing of them; version 2 must.
    trace = ParseTrace("{\"format\":\"fwu-trace\",\"version\":1}\n", error);
    ASSERT_TRUE(trace) << error;
    EXPECT_FALSE(trace->choices);
    EXPECT_FALSE(ParseTrace("{\"format\":\"fwu-trace\",\"version\":2}\n", error));
    EXPECT_EQ(error, "line 1: \"frontend\" must be a string");
    // Members a later version of the tool may add.
    trace = ParseTrace(
        "{\"format\":\"fwu-trace\",\"version\":2,\"frontend\":\"window\",\"update\":false,"
        "\"force\":false,\"host\":\"x\"}\n"
        "{\"n\":1,\"t\":5,\"op\":\"arrival\",\"path\":\"p\",\"location\":\"1-2\"}\n",
        error);
    ASSERT_TRUE(trace) << error;
    EXPECT_TRUE(trace->choices->window);
    EXPECT_EQ(trace->ops.at(0).path, "p");
}

TEST(TraceFile, ATraceLargerThanTheCapIsRefusedUnread) {
    const test::ScratchDir dir("fwu-trace-cap-");
    const std::filesystem::path file = dir.path() / "large.jsonl";
    std::ofstream(file, std::ios::binary) << HeaderLine({});
    std::filesystem::resize_file(file, kMaxTraceBytes + 1);  // sparse: nothing written
    std::string error;
    EXPECT_FALSE(LoadTrace(file.string(), error));
    EXPECT_EQ(error, "the trace " + file.string() +
                         " is larger than 64 MB (a whole run takes well under 1 MB)");
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

TEST(TraceLocations, RecordedOnEachLineOfAPathAndAnsweredByTheReplay) {
    test::ScratchDir dir;
    const std::string file = dir.Utf8("locations.jsonl");
    std::vector<std::string> paths;
    {
        sim::SimBackend sim;
        sim.AddController({});
        sim::SimController second = sim.AddController({});
        TraceWriter writer(file);
        RecordingBackend hid(sim, writer);
        RecordingHotplug hotplug(sim, writer, hid);
        ASSERT_TRUE(hotplug.Start([](HotplugEvent, const std::string&) {}));
        paths = hid.EnumeratePaths();
        ASSERT_EQ(paths.size(), 2u);
        EXPECT_NE(hid.Open(paths[1]), nullptr);
        second.Unplug();
        second.Plug();
        paths.push_back(second.path());
        hotplug.Stop();
    }
    const std::string text = test::ReadFileText(file);
    EXPECT_NE(text.find("],\"locations\":[\"sim0\",\"sim1\"]}"), std::string::npos) << text;
    std::string error;
    std::optional<Trace> trace = ParseTrace(text, error);
    ASSERT_TRUE(trace) << error;
    // enumerate, open, removal, arrival (under a new path, at the same place)
    ASSERT_EQ(trace->ops.size(), 4u);
    for (std::size_t k = 1; k < 4; ++k) EXPECT_EQ(trace->ops[k].location, "sim1") << k;
    EXPECT_EQ(trace->ops[3].kind, OpKind::Arrival);
    EXPECT_NE(trace->ops[3].path, paths[1]);

    ReplaySession replay(std::move(*trace), ReplayOptions{true, {}});
    EXPECT_EQ(replay.Location(paths[0]), "sim0");
    EXPECT_EQ(replay.Location(paths[1]), "sim1");
    EXPECT_EQ(replay.Location(paths[2]), "sim1");
    EXPECT_EQ(replay.Location("elsewhere"), "");

    // Without a location, lines are as before; a list of another length is refused.
    Op open;
    open.kind = OpKind::Open;
    open.path = "p";
    open.dev = 1;
    EXPECT_EQ(FormatOp(open),
              "{\"n\":0,\"t\":0,\"us\":0,\"op\":\"open\",\"path\":\"p\",\"dev\":1}\n");
    Op enumerate;
    enumerate.paths = {"p", "q"};
    enumerate.locations = {"", ""};
    EXPECT_EQ(FormatOp(enumerate).find("locations"), std::string::npos);
    const std::string header = HeaderLine({});
    EXPECT_FALSE(ParseTrace(header +
                                "{\"n\":1,\"t\":1,\"us\":1,\"op\":\"enumerate\",\"paths\":[\"p\"],"
                                "\"locations\":[]}\n",
                            error));
    EXPECT_EQ(error, "line 2: \"locations\" must hold one location for each path");
}

// What Unfinished() says once a run has asked the first `asked` requests of
// the trace `ops`, in order.
std::string StoppedAfter(const std::vector<Op>& ops, std::size_t asked) {
    std::string text = HeaderLine({});
    for (const Op& op : ops) text += FormatOp(op);
    std::string error;
    std::optional<Trace> trace = ParseTrace(text, error);
    EXPECT_TRUE(trace) << error;
    ReplaySession replay(std::move(*trace), ReplayOptions{true, {}});
    std::unique_ptr<IHidDevice> device;
    std::uint8_t reply[4];
    for (std::size_t k = 0; k < ops.size() && asked > 0; ++k) {
        const Op& op = ops[k];
        if (IsEvent(op.kind)) continue;
        --asked;
        if (op.kind == OpKind::Enumerate) replay.EnumeratePaths();
        if (op.kind == OpKind::Open) device = replay.Open(op.path);
        if (op.kind == OpKind::Write) device->Write(op.data.data(), op.data.size());
        if (op.kind == OpKind::Read) device->Read(reply, op.length, op.timeout);
    }
    return replay.Unfinished();
}

// Numbers and times the operations as a recording would.
void Renumber(std::vector<Op>& ops) {
    for (std::size_t k = 0; k < ops.size(); ++k) {
        ops[k].n = k + 1;
        ops[k].t = 100 * (k + 1);
    }
}

TEST(Replay, ARunThatStopsShortOfTheTraceIsToldWhere) {
    std::vector<Op> ops;
    SmallTrace(ops);
    EXPECT_EQ(StoppedAfter(ops, 5), "");
    EXPECT_EQ(StoppedAfter(ops, 3),
              "the run ended at operation 3 of 5: the trace goes on with read on device 1 of 4 "
              "bytes, waiting 50 ms");

    // The controller goes away before the failed write: the run may leave
    // that write out. An arrival after the last request does not count.
    Op removal;
    removal.kind = OpKind::Removal;
    removal.path = ops[1].path;
    Op arrival = removal;
    arrival.kind = OpKind::Arrival;
    ops.insert(ops.begin() + 4, removal);
    ops.push_back(arrival);
    Renumber(ops);
    EXPECT_EQ(StoppedAfter(ops, 4), "");
    // A write that the recording saw answered is no such write.
    ops.push_back(Write(1, {0x00, 0x03}));
    Renumber(ops);
    EXPECT_EQ(StoppedAfter(ops, 4),
              "the run ended at operation 4 of 8: the trace goes on with write on device 1: 00 "
              "03 (operation 8)");
}

TEST(Replay, PacingSleepsInSlicesThatAStopCuts) {
    // One answer, due a day after the start.
    Op enumerate;
    enumerate.kind = OpKind::Enumerate;
    enumerate.n = 1;
    enumerate.t = kMaxTraceUs;
    const std::string text = HeaderLine({}) + FormatOp(enumerate);
    std::string error;
    test::FakeSleeper sleeper;
    const test::ScopedServices services({.sleeper = &sleeper});
    std::uint32_t longest = 0;

    // The asking thread's own stop (the worker's), then Cancel() from another.
    std::atomic<bool> stop{false};
    for (const bool own : {true, false}) {
        std::optional<Trace> trace = ParseTrace(text, error);
        ASSERT_TRUE(trace) << error;
        ReplaySession replay(std::move(*trace), ReplayOptions{false, {}});
        sleeper.calls = 0;
        sleeper.onSleep = [&](std::uint32_t ms) {
            longest = std::max(longest, ms);
            if (sleeper.calls < 3) return;
            if (own) stop = true;
            if (!own) std::thread([&] { replay.Cancel(); }).join();
        };
        const CancelScope scope(stop);
        replay.EnumeratePaths();
        EXPECT_EQ(sleeper.calls.load(), 3u) << own;
        stop = false;
    }
    EXPECT_LE(longest, 50u);
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
