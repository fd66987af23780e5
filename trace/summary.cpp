#include "trace/summary.h"

#include <cstdio>
#include <map>
#include <optional>
#include <set>

namespace fwu::trace {
namespace {

// Each report the floor counts takes 1 ms on the bus; every command exchange
// pauses 1 ms before its reply, every image 1 ms before its first page, and
// an image that another follows waits 3000 ms after its end-of-image command.
constexpr double kTransferMs = 1.0;
constexpr double kExchangePauseMs = 1.0;
constexpr double kImageStartPauseMs = 1.0;
constexpr double kImageEndWaitMs = 3000.0;

// The command code of a framed command report (A5 code 5A ~code), or 0.
std::uint8_t CommandCode(const Op& op) {
    if (op.kind != OpKind::Write || op.data.size() < 5) return 0;
    const std::uint8_t code = op.data[2];
    if (op.data[1] != 0xA5 || op.data[3] != 0x5A || op.data[4] != (code ^ 0xFF)) return 0;
    return code;
}

bool IsDownloadCommand(std::uint8_t code) {
    return code >= 0xE2 && code <= 0xE5;
}

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    if (b.size() < at + 4) return 0;
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::string Seconds(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(us) / 1e6);
    return text;
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f ms", ms);
    return text;
}

struct Image {
    int dev = 0;
    std::uint16_t updateId = 0;
    bool protocol2 = false;
    std::uint64_t startUs = 0;
    std::uint64_t endUs = 0;
    std::uint64_t startN = 0;
    std::uint64_t endN = 0;
    std::uint64_t commands = 0;     // command reports written
    std::uint64_t data = 0;         // data reports written
    std::uint64_t replies = 0;      // replies read
    std::uint64_t timeouts = 0;     // read slices that ended without a reply
    std::uint64_t commits = 0;      // 0xE4
    std::set<std::uint32_t> pages;  // addresses given with 0xE3
    std::uint64_t waiting = 0;      // time-outs since the last reply
    bool finishing = false;         // 0xE6 written, its reply awaited
    bool finished = false;
    std::string stop;  // the first failure inside the image

    double FloorMs(bool followed) const {
        return static_cast<double>(commands + data + replies) * kTransferMs +
               static_cast<double>(commands) * kExchangePauseMs + kImageStartPauseMs +
               (followed ? kImageEndWaitMs : 0.0);
    }
};

std::string Failure(const Op& op) {
    std::string text = "operation " + std::to_string(op.n) + ", ";
    text += op.kind == OpKind::Read ? "failed read" : "failed write";
    char error[32];
    std::snprintf(error, sizeof error, " (error 0x%X)", static_cast<unsigned>(op.error));
    return text + error;
}

}  // namespace

std::string Summarize(const Trace& trace) {
    const std::vector<Op>& ops = trace.ops;
    std::string out;
    if (ops.empty()) return "The trace holds no operation.\n";
    out +=
        "Run of " + std::to_string(ops.size()) + " operations over " + Seconds(ops.back().t) + "\n";

    // Bootloader entry: from the first request that asks a normal-mode
    // controller to restart in its bootloader to the first device
    // information reply of a controller in upgrade mode.
    std::optional<Op> request;
    std::optional<Op> entered;
    std::map<int, std::uint8_t> lastCommand;  // device -> last command written
    std::map<int, std::uint16_t> updateIds;   // device -> update ID it reported
    std::vector<Image> images;
    Image* open = nullptr;

    for (const Op& op : ops) {
        if (!request && ((op.kind == OpKind::String && op.length >= 14 && op.length <= 18) ||
                         op.kind == OpKind::Output ||
                         (op.kind == OpKind::RumbleSet && (op.left != 0 || op.right != 0)))) {
            request = op;
        }
        if (op.kind == OpKind::Write) {
            const std::uint8_t code = CommandCode(op);
            lastCommand[op.dev] = code;
            if (IsDownloadCommand(code) && open == nullptr) {
                images.push_back(Image{});
                open = &images.back();
                open->dev = op.dev;
                open->updateId = updateIds[op.dev];
                open->startUs = op.t > op.us ? op.t - op.us : 0;
                open->startN = op.n;
            }
            if (code == 0xE6 && open == nullptr && !images.empty() && images.back().dev == op.dev) {
                // The closing 0x12 after an early "all done" belongs to the
                // image it ends.
                open = &images.back();
                open->finished = false;
            }
        }
        if (open != nullptr && op.dev == open->dev && op.kind != OpKind::Open) {
            open->endUs = op.t;
            open->endN = op.n;
            if (op.kind == OpKind::Write) {
                const std::uint8_t code = CommandCode(op);
                if (code != 0) {
                    ++open->commands;
                } else {
                    ++open->data;
                }
                if (code == 0xE2) open->protocol2 = true;
                if (code == 0xE4) ++open->commits;
                if (code == 0xE3) open->pages.insert(Le32(op.data, 5));
                if (code == 0xE6) open->finishing = true;
                if (!op.ok && open->stop.empty()) open->stop = Failure(op);
            } else if (op.kind == OpKind::Read) {
                if (op.status == ReadStatus::Ok) ++open->replies;
                if (op.status == ReadStatus::Timeout) ++open->timeouts;
                open->waiting = op.status == ReadStatus::Timeout ? open->waiting + 1 : 0;
                if (op.status == ReadStatus::Failed && open->stop.empty() && !open->finishing)
                    open->stop = Failure(op);
                if (op.status != ReadStatus::Timeout && open->finishing) {
                    open->finishing = false;
                    open->finished = true;
                    open = nullptr;
                }
            }
        }
        if (op.kind == OpKind::Read && op.status == ReadStatus::Ok && lastCommand[op.dev] == 0xE1) {
            if (op.data.size() >= 7)
                updateIds[op.dev] = static_cast<std::uint16_t>(op.data[5] << 8 | op.data[6]);
            if (!entered && (!request || op.n > request->n)) entered = op;
        }
        if (op.kind == OpKind::Removal && open != nullptr && open->stop.empty())
            open->stop = "operation " + std::to_string(op.n) + ", the controller was removed";
    }

    // Times never go back in a trace that loaded, so an answer after the
    // request came no earlier than it.
    if (request && entered && entered->n > request->n) {
        out += "Bootloader entry: requested at " + Seconds(request->t) + " (" +
               DescribeRequest(*request) + "), upgrade mode answered at " + Seconds(entered->t) +
               ": " + Seconds(entered->t - request->t) + "\n";
    } else if (request && !entered) {
        out += "Bootloader entry: requested at " + Seconds(request->t) +
               ", no controller answered in upgrade mode\n";
    } else if (entered) {
        out += "Bootloader entry: the controller was already in upgrade mode (answered at " +
               Seconds(entered->t) + ")\n";
    } else {
        out += "Bootloader entry: none in this run\n";
    }

    double floorMs = 0.0;
    for (std::size_t k = 0; k < images.size(); ++k) {
        const Image& im = images[k];
        const bool followed = k + 1 < images.size();
        const std::uint64_t retries =
            im.timeouts + (im.commits > im.pages.size() ? im.commits - im.pages.size() : 0);
        char id[16];
        std::snprintf(id, sizeof id, "0x%04X", static_cast<unsigned>(im.updateId));
        if (k > 0) {
            const Image& before = images[k - 1];
            out += "  between images: " +
                   Seconds(im.startUs > before.endUs ? im.startUs - before.endUs : 0) +
                   " (the end-of-image wait of " + Ms(kImageEndWaitMs) +
                   " and the controller's restart)\n";
        }
        out += "Image " + std::to_string(k + 1) + " (update ID " + id + ", protocol " +
               (im.protocol2 ? "2.0" : "1.0") + ", device " + std::to_string(im.dev) + "): from " +
               Seconds(im.startUs) + " to " + Seconds(im.endUs) + ", " +
               Seconds(im.endUs - im.startUs) + "\n";
        out += "  " + std::to_string(im.pages.size()) + " pages, " +
               std::to_string(im.commands + im.data) + " reports written (" +
               std::to_string(im.data) + " data, " + std::to_string(im.commands) + " commands), " +
               std::to_string(im.replies) + " replies, " + std::to_string(retries) + " retries\n";
        out +=
            "  mandated waits: " +
            Ms(kImageStartPauseMs + static_cast<double>(im.commands) * kExchangePauseMs) +
            " of pauses before replies" +
            (followed ? ", then " + Ms(kImageEndWaitMs) + " after end of image" : std::string()) +
            "\n";
        if (im.finished) {
            out += "  ended with the end-of-image command\n";
        } else if (!im.stop.empty()) {
            out += "  did not finish: " + im.stop + "\n";
        } else if (im.waiting > 0) {
            out += "  did not finish: no reply came, the last " + std::to_string(im.waiting) +
                   " reads timed out (to operation " + std::to_string(im.endN) + ")\n";
        } else if (im.finishing) {
            out += "  the trace ends after the end-of-image command, before its reply\n";
        } else {
            out +=
                "  did not finish: the trace ends at operation " + std::to_string(im.endN) + "\n";
        }
        floorMs += im.FloorMs(followed);
    }
    if (images.empty()) {
        out += "No image was downloaded.\n";
        return out;
    }
    const std::uint64_t totalUs = images.back().endUs - images.front().startUs;
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, "%.2f", static_cast<double>(totalUs) / 1000.0 / floorMs);
    out += "Download: " + Seconds(totalUs) + " against a floor of " +
           Seconds(static_cast<std::uint64_t>(floorMs * 1000.0)) + " (every report at " +
           Ms(kTransferMs) + " and the protocol's pauses): " + ratio + " times the floor\n";
    return out;
}

}  // namespace fwu::trace
