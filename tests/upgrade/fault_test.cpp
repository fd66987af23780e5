// Failures: every status code from a fault at the step that owns it, the
// runs that must end instead of leaving the dialog waiting, and the rule that
// no fault ever turns into a success the engine did not verify.
#include <gtest/gtest.h>

#include <functional>

#include "tests/support/bench.h"
#include "upgrade/Download.h"
#include "upgrade/status.h"

namespace fwu::test {
namespace {

using Trace = std::vector<sim::TraceEntry>;

bool IsWrite(const sim::TraceEntry& e) {
    return e.dir == sim::TraceDir::HostToDevice && e.kind == sim::TraceKind::Report;
}

// Index of the nth (0-based) write of command `code`.
std::size_t NthCommand(const Trace& t, std::uint8_t code, int nth) {
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (IsWrite(t[i]) && IsCommand(t[i].bytes, code) && nth-- == 0) return i;
    }
    throw std::runtime_error("command not in trace");
}
std::size_t ReplyAfter(const Trace& t, std::size_t i) {
    while (++i < t.size()) {
        if (t[i].dir == sim::TraceDir::DeviceToHost) return i;
    }
    throw std::runtime_error("no reply");
}
std::size_t DataAfter(const Trace& t, std::size_t i) {
    while (++i < t.size()) {
        if (IsWrite(t[i]) && !IsCommand(t[i].bytes, t[i].bytes[2])) return i;
    }
    throw std::runtime_error("no data report");
}

struct StepFault {
    const char* name;
    sim::Generation generation;
    sim::FaultKind kind;
    std::function<std::size_t(const Trace&)> locate;  // trace index of the transfer
    std::int32_t status;
};

Trace CleanTrace(const Package& pkg, sim::Generation g) {
    Bench bench(pkg, SimFor(pkg, g));
    bench.RunAll();
    return bench.controller.Trace();
}

TEST(StatusCodes, EachStepEndsTheRunWithItsOwnCode) {
    using sim::FaultKind;
    using sim::Generation;
    const auto V1 = Generation::V1_0, V2 = Generation::V2_0;
    const std::vector<StepFault> cases = {
        {"job query", V2, FaultKind::ReadFail,
         [](const Trace& t) { return ReplyAfter(t, NthCommand(t, 0xE1, 1)); }, -1},
        {"closing query", V1, FaultKind::ReadFail,
         [](const Trace& t) { return ReplyAfter(t, NthCommand(t, 0xE1, 2)); }, -1},
        {"0xE2 write", V2, FaultKind::WriteFail,
         [](const Trace& t) { return NthCommand(t, 0xE2, 0); }, -2},
        {"0xE2 reply", V2, FaultKind::ReadFail,
         [](const Trace& t) { return ReplyAfter(t, NthCommand(t, 0xE2, 3)); }, -2},
        {"data 2.0", V2, FaultKind::WriteFail,
         [](const Trace& t) { return DataAfter(t, NthCommand(t, 0xE2, 2)); }, -3},
        {"data announce", V1, FaultKind::WriteFail,
         [](const Trace& t) { return DataAfter(t, NthCommand(t, 0xE3, 0)); }, -3},
        {"data 1.0", V1, FaultKind::WriteFail,
         [](const Trace& t) { return DataAfter(t, NthCommand(t, 0xE3, 4)); }, -3},
        {"0xE3 write", V2, FaultKind::WriteFail,
         [](const Trace& t) { return NthCommand(t, 0xE3, 1); }, -4},
        {"0xE3 reply", V2, FaultKind::ReadFail,
         [](const Trace& t) { return ReplyAfter(t, NthCommand(t, 0xE3, 0)); }, -4},
        {"0xE3 announce", V1, FaultKind::WriteFail,
         [](const Trace& t) { return NthCommand(t, 0xE3, 0); }, -4},
        {"0xE3 loop reply", V1, FaultKind::ReadFail,
         [](const Trace& t) { return ReplyAfter(t, NthCommand(t, 0xE3, 2)); }, -4},
        {"0xE3 silent", V2, FaultKind::NoAnswer,
         [](const Trace& t) { return ReplyAfter(t, NthCommand(t, 0xE3, 5)); }, -4},
        {"0xE4 write", V1, FaultKind::WriteFail,
         [](const Trace& t) { return NthCommand(t, 0xE4, 0); }, -5},
        {"0xE4 reply", V2, FaultKind::ReadFail,
         [](const Trace& t) { return ReplyAfter(t, NthCommand(t, 0xE4, 7)); }, -5},
        {"0xE5 write", V2, FaultKind::WriteFail,
         [](const Trace& t) { return NthCommand(t, 0xE5, 0); }, -6},
        {"0xE5 write", V1, FaultKind::WriteFail,
         [](const Trace& t) { return NthCommand(t, 0xE5, 9); }, -6},
        {"0xE5 reply", V2, FaultKind::ReadFail,
         [](const Trace& t) { return ReplyAfter(t, NthCommand(t, 0xE5, 1)); }, -7},
        {"0xE5 reply", V1, FaultKind::ReadFail,
         [](const Trace& t) { return ReplyAfter(t, NthCommand(t, 0xE5, 0)); }, -7},
    };
    const Package& pkg = DefaultPackage();
    const Trace clean[2] = {CleanTrace(pkg, V1), CleanTrace(pkg, V2)};
    for (const StepFault& c : cases) {
        SCOPED_TRACE(c.name);
        const Trace& t = clean[c.generation == V2 ? 1 : 0];
        const std::size_t at = c.locate(t);
        sim::Config cfg = SimFor(pkg, c.generation);
        cfg.faults.push_back({c.kind, static_cast<std::uint32_t>(at + 1)});
        Bench bench(pkg, cfg);
        bench.RunAll();
        const auto results = bench.sink.Of(WM_UPGRADE_RESULT);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].wParam, kResultFailure);
        EXPECT_EQ(results[0].lParam, c.status);
        EXPECT_TRUE(bench.sink.Of(WM_UPGRADE_IMAGE_DONE).empty());
        // Nothing more goes to the controller after the failing step.
        const Trace after = bench.controller.Trace();
        for (std::size_t i = at + 1; i < after.size(); ++i) EXPECT_FALSE(IsWrite(after[i])) << i;
    }
}

TEST(StatusCodes, AnnouncementFailureTakesNoProgressStep) {
    const Package& pkg = DefaultPackage();
    const Trace t = CleanTrace(pkg, sim::Generation::V1_0);
    sim::Config cfg = SimFor(pkg, sim::Generation::V1_0);
    cfg.faults.push_back({sim::FaultKind::ReadFail,
                          static_cast<std::uint32_t>(ReplyAfter(t, NthCommand(t, 0xE3, 0)) + 1)});
    Bench bench(pkg, cfg);
    bench.RunAll();
    EXPECT_EQ(bench.sink.FirstFailure(), kStatusPageAddress);
    EXPECT_EQ(bench.context.progressCounter, 0);
    EXPECT_EQ(bench.sink.Of(WM_UPGRADE_PROGRESS).size(), 1u);  // the starting position only
}

TEST(StatusCodes, WrongDeviceAndBadImage) {
    const Package& pkg = DefaultPackage();
    {  // the device reports another update identifier than the image
        sim::Config cfg = SimFor(pkg, sim::Generation::V2_0);
        cfg.ics[0].updateId = 0x314;
        Bench bench(pkg, cfg);
        DeviceSlot slot;
        slot.hidDevice = OpenDevice(bench.controller.path());
        slot.updateId = 0x313;  // the slot says 0x313, the device answers 0x314
        ASSERT_TRUE(bench.slots.Take(slot).has_value());
        bench.RunImage(0);
        EXPECT_EQ(bench.sink.FirstFailure(), kStatusWrongPackage);
    }
    for (const bool corrupt : {true, false}) {  // header that breaks the layout, unknown address
        Package bad = pkg;
        bad.images[0][0x0C] = 100;  // pageSize 100
        Bench bench(bad, SimFor(bad, sim::Generation::V2_0));
        ASSERT_TRUE(bench.AttachSlot());
        const std::size_t before = bench.controller.Trace().size();
        if (corrupt) {
            bench.RunImage(0);
        } else {
            const std::vector<std::uint8_t> copy = pkg.images[0];
            bench.worker.OnStartUpgrade(0x313, reinterpret_cast<std::intptr_t>(copy.data()));
        }
        EXPECT_EQ(bench.sink.FirstFailure(), kStatusWrongPackage);
        EXPECT_EQ(bench.controller.Trace().size(), before);
    }
}

TEST(StatusCodes, RunsThatWouldLeaveTheDialogWaitingEndWithAStatus) {
    const Package& pkg = DefaultPackage();
    {  // no slot serves the requested identifier: the controller went away
        Bench bench(pkg, SimFor(pkg, sim::Generation::V2_0));
        ASSERT_TRUE(bench.AttachSlot());
        bench.worker.OnStartUpgrade(0x20D, reinterpret_cast<std::intptr_t>(pkg.images[1].data()));
        EXPECT_EQ(bench.sink.FirstFailure(), kStatusDeviceRemoved);
        EXPECT_EQ(bench.sink.Messages().size(), 1u);
    }
    {  // the record chose an image whose header names another controller: a
       // package fault, whatever controller is present
        Bench bench(pkg, SimFor(pkg, sim::Generation::V2_0));
        ASSERT_TRUE(bench.AttachSlot());
        const std::size_t before = bench.controller.Trace().size();
        bench.worker.OnStartUpgrade(0x20D, reinterpret_cast<std::intptr_t>(pkg.images[0].data()));
        EXPECT_EQ(bench.sink.FirstFailure(), kStatusWrongPackage);
        EXPECT_EQ(bench.sink.Messages().size(), 1u);
        EXPECT_EQ(bench.controller.Trace().size(), before);
    }
    const Trace t = CleanTrace(pkg, sim::Generation::V2_0);
    {  // end-of-image write of the first image fails: no success was reported yet
        sim::Config cfg = SimFor(pkg, sim::Generation::V2_0);
        cfg.faults.push_back(
            {sim::FaultKind::WriteFail, static_cast<std::uint32_t>(NthCommand(t, 0xE6, 0) + 1)});
        Bench bench(pkg, cfg);
        bench.RunAll();
        EXPECT_EQ(bench.sink.FirstFailure(), kStatusDeviceRemoved);
        EXPECT_EQ(bench.sink.Successes(), 0);
    }
    {  // the same on the last image comes after the success: nothing more is said
        sim::Config cfg = SimFor(pkg, sim::Generation::V2_0);
        cfg.faults.push_back(
            {sim::FaultKind::WriteFail, static_cast<std::uint32_t>(NthCommand(t, 0xE6, 1) + 1)});
        Bench bench(pkg, cfg);
        bench.RunAll();
        EXPECT_EQ(bench.sink.FirstFailure(), 0);
        EXPECT_EQ(bench.sink.Successes(), 1);
        EXPECT_EQ(bench.sink.Of(WM_UPGRADE_IMAGE_DONE).size(), 1u);
    }
}

// Two small images; page 0 of the first is all zero, so its checksum is 0
// and a lost checksum reply must not pass for a match.
const Package& SmallPackage() {
    static const Package package = [] {
        const pkg::Manifest m = DemoManifestLaidOut({{128, 0, 128, 3}, {64, 0x800, 0, 2}});
        std::vector<std::vector<std::uint8_t>> fw = MakeDemoPackage(m).firmware;
        std::fill_n(fw[0].begin(), 128, 0);
        return MakePackage(m, std::move(fw));
    }();
    return package;
}

TEST(NoUnverifiedSuccess, NoFaultAnywhereYieldsASuccessTheDeviceDidNotConfirm) {
    const Package& pkg = SmallPackage();
    ASSERT_EQ(PackageImage(pkg.images[0]).pageChecksum(0), 0u);
    for (const auto g : {sim::Generation::V1_0, sim::Generation::V2_0}) {
        const Trace clean = CleanTrace(pkg, g);
        for (const auto kind : {sim::FaultKind::WriteFail, sim::FaultKind::ReadFail,
                                sim::FaultKind::Remove, sim::FaultKind::NoAnswer}) {
            for (std::uint32_t n = 1; n <= clean.size(); ++n) {
                sim::Config cfg = SimFor(pkg, g);
                cfg.faults.push_back({kind, n});
                Bench bench(pkg, cfg);
                bench.RunAll();
                const auto results = bench.sink.Of(WM_UPGRADE_RESULT);
                if (results.empty() || results[0].wParam != kResultSuccess) continue;
                SCOPED_TRACE(sim::FaultName({kind, n}) +
                             (g == sim::Generation::V2_0 ? " 2.0" : " 1.0"));
                // A fault after the success (a lost end-of-image command
                // of the last image) cannot take it back.
                // A write or read fault strikes the first transfer of its
                // kind at or after transfer n.
                std::size_t at = n - 1;
                while (at < clean.size() &&
                       ((kind == sim::FaultKind::WriteFail && !IsWrite(clean[at])) ||
                        (kind == sim::FaultKind::ReadFail && IsWrite(clean[at])))) {
                    ++at;
                }
                if (at >= results[0].traceSize) continue;
                // Before it, only the reply to an end-of-image command may
                // be lost, as it plays no part in the verification.
                bool endReply = false;
                for (std::size_t i = at; i-- > 0;) {
                    if (IsWrite(clean[i])) {
                        endReply = clean[at].dir == sim::TraceDir::DeviceToHost &&
                                   IsCommand(clean[i].bytes, 0xE6);
                        break;
                    }
                }
                EXPECT_TRUE(endReply);
                for (int k = 0; k < 2; ++k) EXPECT_EQ(bench.controller.Flash(k), pkg.firmware[k]);
            }
        }
        for (int ic = 0; ic < 2; ++ic) {  // a wrong checksum on any page
            for (std::uint32_t p = 0; p < PackageImage(pkg.images[ic]).pageCount(); ++p) {
                sim::Config cfg = SimFor(pkg, g);
                cfg.faults.push_back({sim::FaultKind::BadChecksum, p});
                Bench bench(pkg, cfg);
                bench.RunAll();
                EXPECT_EQ(bench.sink.Successes(), 0);
                EXPECT_EQ(bench.sink.FirstFailure(), kStatusChecksum);
                EXPECT_FALSE(bench.controller.ImageValid(0));  // the fault strikes IC0
            }
        }
    }
}

// A controller that answers every command but never the checksum read-back
// (hand-made: the simulated controller cannot echo a previous reply):
// the read fails, or (`repeat`) it answers with its previous reply again,
// the echo of the commit command with zero in the checksum's bytes.
class NoChecksumReply : public IHidDevice {
  public:
    explicit NoChecksumReply(bool repeat) : repeat_(repeat) {}
    bool Write(const std::uint8_t* r, std::size_t) override {
        if (!last_.empty() && last_[2] != 0xE5) previous_ = last_;
        last_.assign(r, r + kReportSize);
        if (IsCommand(last_, 0xE5)) ++*checksumReads;
        return true;
    }
    ReadStatus Read(std::uint8_t* r, std::size_t n, std::uint32_t) override {
        if (last_.size() < 5) return ReadStatus::Failed;
        const std::vector<std::uint8_t>& echo = last_[2] == 0xE5 ? previous_ : last_;
        if (echo.size() < 5 || (last_[2] == 0xE5 && !repeat_)) return ReadStatus::Failed;
        std::fill_n(r, n, 0);
        std::copy_n(echo.begin(), 5, r);
        return ReadStatus::Ok;
    }
    std::uint8_t OutputReportId() override { return 0; }
    bool GetIndexedString(std::uint8_t, std::uint8_t*, std::size_t) override { return false; }
    bool SetOutputReport(const std::uint8_t*, std::size_t) override { return false; }
    bool GetAttributes(std::uint16_t&, std::uint16_t&) override { return true; }
    void DropQueuedInput() override {}
    std::uint32_t LastError() const override { return 0x1F; }
    std::shared_ptr<int> checksumReads = std::make_shared<int>(0);

  private:
    bool repeat_;
    std::vector<std::uint8_t> last_;
    std::vector<std::uint8_t> previous_;
};

TEST(NoUnverifiedSuccess, ALostOrForeignChecksumReplyIsAMismatchEvenForAZeroChecksum) {
    const Package& pkg = SmallPackage();
    for (const bool v2 : {true, false})
        for (const bool repeat : {false, true}) {
            RecordingSink sink;
            UpgradeContext ctx;
            ctx.config = &pkg.config;
            ctx.doneFlags.assign(2, 0);
            ctx.hwnd = &sink;
            ctx.progressTotal = 100;
            DownloadJob job;
            job.image = PackageImage(pkg.images[0]);
            job.context = &ctx;
            auto io = std::make_unique<NoChecksumReply>(repeat);
            const std::shared_ptr<int> checksumReads = io->checksumReads;
            HidHandle device(std::move(io), "scripted");
            if (v2) {
                DownLoadFirmware2_0(device, job, true, false);
            } else {
                DownLoadFirmware1_0(device, job, true, false);
            }
            // The run ends at page 0, whose expected checksum is 0.
            EXPECT_EQ(sink.FirstFailure(), kStatusChecksum);
            EXPECT_EQ(*checksumReads, 1);
            EXPECT_EQ(sink.Successes(), 0);
        }
}

}  // namespace
}  // namespace fwu::test
