// One image through a download routine: where the progress steps and pauses
// of a page fall, the end-of-image command, the "ALLUpdateOK." reply of a 2.0
// controller and when it counts, and the report ID in byte 0 of the one
// buffer the engine sends from and reads into. Pages run on the simulated
// controller; the end of an image against a script, as the simulated one can
// neither put any head before "ALLUpdateOK." nor fill a reply and still fail
// its read.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "base/bytes.h"
#include "base/text.h"
#include "tests/support/bench.h"
#include "upgrade/Download.h"
#include "upgrade/status.h"

namespace fwu::test {
namespace {

constexpr std::uint8_t kOutId = 0x07;    // the job's output report ID
constexpr std::uint8_t kReplyId = 0x21;  // byte 0 of every reply

// Writes, successful reads, pauses and dialog messages, in the order they
// happened.
struct Event {
    char kind;  // 'W' write, 'R' read, 'S' pause, 'M' message to the dialog
    std::vector<std::uint8_t> bytes;
    std::uint32_t value = 0;  // pause length, or message id
    std::uintptr_t wParam = 0;
};
using Events = std::vector<Event>;

struct Script {
    bool generation2 = true;
    std::uint16_t updateId = 0x313;
    std::array<std::uint8_t, 16> endReply{};           // bytes 5..20 of the 0xE6 reply
    bool endReadFails = false;                         // fill the 0xE6 reply, then fail
    std::map<std::uint32_t, std::uint32_t> checksums;  // page address -> checksum
};

class ScriptedController : public IHidDevice {
  public:
    ScriptedController(Script script, Events& events) : s_(std::move(script)), events_(events) {}

    bool Write(const std::uint8_t* r, std::size_t n) override {
        last_.assign(r, r + n);
        events_.push_back({'W', last_});
        return true;
    }
    ReadStatus Read(std::uint8_t* r, std::size_t n, std::uint32_t) override {
        std::fill_n(r, n, 0);
        r[0] = kReplyId;
        std::copy_n(last_.begin() + 1, 4, r + 1);
        switch (last_[2]) {
            case 0xE1:
                r[5] = static_cast<std::uint8_t>(s_.updateId >> 8);
                r[6] = static_cast<std::uint8_t>(s_.updateId);
                r[7] = 0x01;
                r[8] = 0x40;
                if (s_.generation2) {
                    r[13] = 0x02;
                    r[14] = 0x35;
                }
                break;
            case 0xE5: {
                const std::uint32_t sum = s_.checksums[LoadLe32(&last_[5])];
                StoreLe32(r + 5, sum);
                break;
            }
            case 0xE6:
                std::copy(s_.endReply.begin(), s_.endReply.end(), r + 5);
                if (s_.endReadFails) return ReadStatus::Failed;
                break;
            default:
                break;
        }
        events_.push_back({'R', std::vector<std::uint8_t>(r, r + n)});
        return ReadStatus::Ok;
    }
    std::uint8_t OutputReportId() override { return kOutId; }
    bool GetIndexedString(std::uint8_t, std::uint8_t*, std::size_t) override { return false; }
    bool SetOutputReport(const std::uint8_t*, std::size_t) override { return false; }
    bool GetAttributes(std::uint16_t&, std::uint16_t&) override { return true; }
    void DropQueuedInput() override {}
    std::uint32_t LastError() const override { return 0x1F; }

  private:
    Script s_;
    Events& events_;
    std::vector<std::uint8_t> last_;
};

class EventSink : public IUpgradeSink {
  public:
    explicit EventSink(std::function<void(Event)> note) : note_(std::move(note)) {}
    std::intptr_t SendUpgradeMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t) override {
        note_({'M', {}, msg, wParam});
        return 0;
    }

  private:
    std::function<void(Event)> note_;
};

// Two images of three 128-byte pages; the first page is written last.
const Package& TwoSmallImages() {
    static const Package package =
        MakeDemoPackage(DemoManifestLaidOut({{128, 0x1000, 0, 3}, {128, 0x2000, 0, 3}}));
    return package;
}

struct Outcome {
    Events events;
    std::vector<ImageResult> results;
    std::vector<std::uint8_t> doneFlags;
    std::int32_t progressCounter = 0;
};

// Image `image` of TwoSmallImages through one download routine, with the
// images listed in `alreadyDone` marked beforehand; on the simulated
// controller (image 0 only), replying with kReplyId, unless a script is given.
Outcome RunImage(std::optional<Script> script, int image, bool download,
                 std::vector<int> alreadyDone = {}, bool generation2 = true) {
    const Package& pkg = TwoSmallImages();
    Outcome run;
    std::optional<sim::SimBackend> backend;
    if (!script) {
        sim::Config cfg = SimFor(pkg, generation2 ? sim::Generation::V2_0 : sim::Generation::V1_0);
        cfg.reportId = kReplyId;
        backend.emplace(cfg);
    }
    // The pauses and messages between two transfers of the simulated
    // controller, by the number of transfers its trace held then.
    std::vector<std::pair<std::size_t, Event>> between;
    const auto note = [&](Event e) {
        if (backend) {
            between.emplace_back(backend->Controller(0).Trace().size(), std::move(e));
        } else {
            run.events.push_back(std::move(e));
        }
    };
    FakeSleeper sleeper;
    sleeper.onSleep = [&note](std::uint32_t ms) { note({'S', {}, ms}); };
    const ScopedServices services({nullptr, &sleeper});
    EventSink sink(note);
    UpgradeContext ctx;
    ctx.config = &pkg.config;
    ctx.doneFlags.assign(pkg.config.imageCount, 0);
    for (int k : alreadyDone) ctx.doneFlags[static_cast<std::size_t>(k)] = 1;
    ctx.hwnd = &sink;
    ctx.currentImage = image;
    ctx.progressTotal = 1000;
    DownloadJob job;
    job.image = PackageImage(pkg.images[static_cast<std::size_t>(image)]);
    job.reportId = kOutId;
    job.context = &ctx;
    std::unique_ptr<IHidDevice> io;
    if (script) {
        generation2 = script->generation2;
        for (std::uint32_t p = 0; p < job.image.pageCount(); ++p) {
            script->checksums[job.image.pageAddress(p)] = job.image.pageChecksum(p);
        }
        io = std::make_unique<ScriptedController>(std::move(*script), run.events);
    } else {
        io = backend->Open(backend->Controller(0).path());
    }
    HidHandle device(std::move(io), "device");
    if (generation2) {
        DownLoadFirmware2_0(device, job, download, true);
    } else {
        DownLoadFirmware1_0(device, job, download, true);
    }
    if (backend) {  // the trace's reports with the rest in between
        const std::vector<sim::TraceEntry> trace = backend->Controller(0).Trace();
        auto next = between.begin();
        for (std::size_t i = 0; i <= trace.size(); ++i) {
            for (; next != between.end() && next->first == i; ++next) {
                run.events.push_back(next->second);
            }
            if (i == trace.size()) break;
            const bool write = trace[i].dir == sim::TraceDir::HostToDevice;
            run.events.push_back({write ? 'W' : 'R', trace[i].bytes});
        }
    }
    run.results = ctx.upgradeResults;
    run.doneFlags = ctx.doneFlags;
    run.progressCounter = ctx.progressCounter;
    return run;
}

// Events from the first end-of-image command or result message on, progress
// messages left out;
// writes and reads shown by their command code and byte 5.
std::string EndSequence(const Events& events) {
    std::string out;
    bool started = false;
    for (const Event& e : events) {
        if ((e.kind == 'W' && e.bytes[2] == 0xE6) ||
            (e.kind == 'M' && e.value == WM_UPGRADE_RESULT))
            started = true;
        if (!started || (e.kind == 'M' && e.value == WM_UPGRADE_PROGRESS)) continue;
        switch (e.kind) {
            case 'W':
                out += Format("W%02X/%02X ", e.bytes[2], e.bytes[5]);
                break;
            case 'R':
                out += "R ";
                break;
            case 'S':
                out += Format("S%u ", e.value);
                break;
            default:
                out += e.value == WM_UPGRADE_RESULT       ? Format("result%u ", unsigned(e.wParam))
                       : e.value == WM_UPGRADE_IMAGE_DONE ? std::string("done ")
                                                          : Format("msg%X ", e.value);
        }
    }
    return out;
}

std::array<std::uint8_t, 16> EndReply(std::array<std::uint8_t, 4> head) {
    std::array<std::uint8_t, 16> r{};
    std::copy(head.begin(), head.end(), r.begin());
    std::memcpy(r.data() + 4, "ALLUpdateOK.", 12);
    return r;
}

// Every event up to the end-of-image command: commands as W and their code,
// data reports as D, reads R, pauses S and their length, progress P.
std::string Steps(const Events& events) {
    std::string out;
    for (const Event& e : events) {
        if (e.kind == 'W' && e.bytes[2] == 0xE6) break;
        switch (e.kind) {
            case 'W':
                out += e.bytes[1] == 0xA5 && e.bytes[3] == 0x5A ? Format("W%02X ", e.bytes[2])
                                                                : std::string("D ");
                break;
            case 'R':
                out += "R ";
                break;
            case 'S':
                out += Format("S%u ", e.value);
                break;
            default:
                out += e.value == WM_UPGRADE_PROGRESS ? "P " : "M ";
        }
    }
    return out;
}

TEST(PageSteps, SixStepsPerPagePlusOnePerDataReportInTheirPlaces) {
    // Pages 1, 2, then 0 (the final page); two data reports each.
    const std::string v2Page = "WE2 S1 R P D P D P WE3 P S1 R P WE4 P S1 R P WE5 S1 R P ";
    const std::string v1Page = "WE3 P S1 R P D P D P WE4 P S1 R P WE5 P S1 R P ";
    Outcome run = RunImage(std::nullopt, 0, true);
    EXPECT_EQ(Steps(run.events), "P S1 " + v2Page + v2Page + v2Page + "WE1 S1 R P ");
    EXPECT_EQ(run.progressCounter, 3 * (2 + 6) + 1);  // and one after the closing query

    run = RunImage(std::nullopt, 0, true, {}, false);
    EXPECT_EQ(Steps(run.events), "P S1 WE3 S1 R D D " + v1Page + v1Page + v1Page + "WE1 S1 R P ");
    EXPECT_EQ(run.progressCounter, 3 * (2 + 6));  // the closing query only shows it
}

TEST(EndOfImage, AllUpdateOkEndsTheRunAndIsClosedWithoutAPause) {
    // Only the exact marker 1E 05 E1 FA in bytes 5..8 withholds the reply's
    // meaning; any other head, one byte off included, lets it count.
    for (const auto head : {std::array<std::uint8_t, 4>{0, 0, 0, 0},
                            std::array<std::uint8_t, 4>{0x1E, 0x05, 0xE1, 0x00}}) {
        Script s;
        s.endReply = EndReply(head);
        for (const bool download : {false, true}) {
            const Outcome run = RunImage(s, 0, download);
            EXPECT_EQ(EndSequence(run.events), "WE6/11 S1 R result0 WE6/12 R S3000 done ")
                << download;
            EXPECT_EQ(run.results.size(), 1u);
            EXPECT_EQ(run.doneFlags, (std::vector<std::uint8_t>{1, 0}));
        }
    }
}

TEST(EndOfImage, AllUpdateOkIgnoredWhenMarkedUnreadLastOrGeneration1) {
    const std::string noEarlyEnd = "WE6/11 S1 R S3000 done ";
    {
        Script s;
        s.endReply = EndReply({0x1E, 0x05, 0xE1, 0xFA});
        EXPECT_EQ(EndSequence(RunImage(s, 0, false).events), noEarlyEnd);
    }
    {  // the reply's bytes arrived, but the read reported a failure
        Script s;
        s.endReply = EndReply({0, 0, 0, 0});
        s.endReadFails = true;
        EXPECT_EQ(EndSequence(RunImage(s, 0, false).events), "WE6/11 S1 S3000 done ");
    }
    {
        Script s;
        s.generation2 = false;
        s.endReply = EndReply({0, 0, 0, 0});
        EXPECT_EQ(EndSequence(RunImage(s, 0, true).events), noEarlyEnd);
    }
    for (const bool v2 : {true, false}) {  // the last image: one success, before 0x12
        Script s;
        s.generation2 = v2;
        s.endReply = EndReply({0, 0, 0, 0});
        const Outcome run = RunImage(s, 1, true, {0});
        EXPECT_EQ(EndSequence(run.events), "result0 WE6/12 S1 R S3000 done ") << v2;
        EXPECT_EQ(run.doneFlags, (std::vector<std::uint8_t>{1, 1}));
    }
}

TEST(ReportBuffer, ByteZeroIsTheJobsReportIdUntilAReplyBringsItsOwn) {
    for (const bool v2 : {true, false}) {
        for (const bool download : {true, false}) {
            const Outcome run = RunImage(std::nullopt, 0, download, {}, v2);
            std::vector<std::uint8_t> ids;  // byte 0 of the job's reports
            for (const Event& e : run.events) {
                // The device queries build their own report.
                if (e.kind == 'W' && e.bytes[2] != 0xE1) ids.push_back(e.bytes[0]);
            }
            ASSERT_FALSE(ids.empty());
            EXPECT_EQ(ids.front(), kOutId) << v2 << download;
            for (std::size_t i = 1; i < ids.size(); ++i) {
                ASSERT_EQ(ids[i], kReplyId) << "report " << i << " " << v2;
            }
            // Every page passed and one image of two remains: no result.
            for (const Event& e : run.events) {
                EXPECT_FALSE(e.kind == 'M' && e.value == WM_UPGRADE_RESULT);
            }
        }
    }
}

}  // namespace
}  // namespace fwu::test
