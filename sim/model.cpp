// The controller model: identity strings and bootloader requests in normal
// mode, the command reports of both bootloader generations in upgrade mode,
// the flash of every IC and re-enumeration between modes and images.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "base/pause.h"
#include "package/package.h"
#include "package/version_block.h"
#include "sim/model.h"

namespace fwu::sim {

std::vector<IcConfig> DefaultIcs() {
    IcConfig ic0;
    ic0.updateId = 0x0313;
    ic0.pageSize = 1024;
    ic0.baseAddress = 0;
    ic0.flashSize = 97 * 1024;
    ic0.versionBlockAddress = 0x5FF0;
    ic0.fwVersion = 0x0130;
    ic0.subVersion = 0;
    IcConfig ic1;
    ic1.updateId = 0x020D;
    ic1.pageSize = 4096;
    ic1.baseAddress = 0;
    ic1.flashSize = 7 * 4096;
    ic1.versionBlockAddress = 0x30;
    ic1.fwVersion = 0x0110;
    ic1.subVersion = 0;
    return {ic0, ic1};
}

std::uint16_t PatternLeft(int step) {
    if (step >= 99) return 0xFF00;
    return static_cast<std::uint16_t>(65024u * static_cast<unsigned>(step + 2) / 100u);
}

std::uint16_t PatternRight(int step) {
    return PatternLeft(99 - step);
}

// ---------------------------------------------------------------- IcState

long IcState::PageOf(std::uint32_t address) const {
    if (address < cfg.baseAddress) return -1;
    const std::uint32_t offset = address - cfg.baseAddress;
    if (offset % cfg.pageSize != 0 || offset >= cfg.flashSize) return -1;
    return static_cast<long>(offset / cfg.pageSize);
}

FlashVersion IcState::ReadVersion() const {
    FlashVersion v;
    if (cfg.versionBlockAddress < cfg.baseAddress) return v;
    const ByteView view(flash);
    const std::size_t offset = cfg.versionBlockAddress - cfg.baseAddress;
    if (!InRange(view, offset, kVersionBlockSize)) return v;
    if (std::memcmp(flash.data() + offset, kVersionBlockMagic, sizeof kVersionBlockMagic) != 0)
        return v;
    v.fwVersion = *ReadLe16(view, offset + 6);
    v.subVersion = *ReadLe16(view, offset + 8);
    return v;
}

bool IcState::SessionComplete() const {
    for (std::size_t p = 0; p < written.size(); ++p)
        if (!written[p] || !verified[p]) return false;
    // The page holding the version block has to be the last one written.
    long blockPage = -1;
    if (cfg.versionBlockAddress >= cfg.baseAddress &&
        cfg.versionBlockAddress - cfg.baseAddress < cfg.flashSize)
        blockPage = static_cast<long>((cfg.versionBlockAddress - cfg.baseAddress) / cfg.pageSize);
    return blockPage < 0 || lastWritten == blockPage;
}

void IcState::ResetSession() {
    written.assign(PageCount(), 0);
    verified.assign(PageCount(), 0);
    lastWritten = -1;
}

// ------------------------------------------------------------- Unit

UsbIdentity Unit::Identity() const {
    return mode == Mode::Upgrade ? cfg.upgradeId : cfg.normalId;
}

bool Unit::HasFault(FaultKind kind) const {
    return std::any_of(faults.begin(), faults.end(),
                       [kind](const ArmedFault& f) { return f.fault.kind == kind; });
}

void Unit::AddTrace(TraceDir dir, TraceKind kind, const std::uint8_t* bytes, std::size_t n) {
    if (cfg.traceCapacity == 0) return;
    while (trace.size() >= cfg.traceCapacity) trace.pop_front();
    TraceEntry e;
    e.dir = dir;
    e.kind = kind;
    e.mode = mode;
    e.ic = ic;
    e.bytes.assign(bytes, bytes + n);
    trace.push_back(std::move(e));
}

std::uint32_t Unit::TakeLatencyMs() {
    latencyAccUs += cfg.latencyUs;
    const std::uint32_t ms = latencyAccUs / 1000;
    latencyAccUs %= 1000;
    return ms;
}

std::vector<std::uint8_t> Unit::IdentityString() const {
    std::vector<std::uint8_t> out;
    for (const IcState& s : ics) {
        const FlashVersion v = s.ReadVersion();
        std::uint8_t entry[8] = {};
        StoreBe16(entry, s.cfg.updateId);
        StoreBe16(entry + 2, v.fwVersion);
        StoreBe16(entry + 4, v.subVersion);
        out.insert(out.end(), entry, entry + 8);
    }
    return out;
}

IcState* Unit::CurrentIc() {
    if (ic < 0 || static_cast<std::size_t>(ic) >= ics.size()) return nullptr;
    return &ics[static_cast<std::size_t>(ic)];
}

// ------------------------------------------------------- mode transitions

void SimBackend::State::Arrive(Unit& c, Mode mode, int ic, Notes& notes) {
    c.mode = mode;
    c.ic = ic;
    ++c.instance;
    ++c.reenumerations;
    c.replies.clear();
    c.pendingLeave = LeaveTarget::None;
    c.awaitingLastEnd = false;
    c.pageOpen = false;
    c.addressKnown = false;
    c.pageBuffer.clear();
    c.stringIndex = -1;
    c.switchNext = 0;
    c.rumbleStep = 0;
    if (IcState* s = c.CurrentIc(); s && mode == Mode::Upgrade) s->ResetSession();
    const UsbIdentity id = c.Identity();
    char head[64];
    std::snprintf(head, sizeof head, "\\\\?\\hid#vid_%04x&pid_%04x#sim&%zu&%04x", id.vid, id.pid,
                  c.index, static_cast<unsigned>(nextSerial++ & 0xFFFF));
    c.path = std::string(head) + "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    notes.push_back({HotplugEvent::Arrival, c.path});
}

void SimBackend::State::Remove(Unit& c, Notes& notes) {
    if (c.mode == Mode::Absent) return;
    notes.push_back({HotplugEvent::Removal, c.path});
    c.mode = Mode::Absent;
    c.path.clear();
    ++c.instance;
    c.replies.clear();
    c.pendingLeave = LeaveTarget::None;
    c.awaitingLastEnd = false;
    c.silent = false;
}

void SimBackend::State::Reenumerate(Unit& c, Mode mode, int ic, Notes& notes) {
    const std::size_t before = notes.size();
    Remove(c, notes);
    if (c.HasFault(FaultKind::NeverReturn)) return;
    if (c.cfg.reenumerationDelayMs == 0) {
        Arrive(c, mode, ic, notes);
        return;
    }
    // Come back later on a timer thread, unless something else (a cable
    // event) happened to the controller meanwhile.
    for (auto it = timers.begin(); it != timers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = timers.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    // The arrival must not overtake the removal, which the caller hands to
    // the callback only after the state's mutex is released.
    std::shared_ptr<std::atomic<bool>> removed;
    if (notes.size() > before) {
        removed = std::make_shared<std::atomic<bool>>(false);
        notes.back().dispatched = removed;
    }
    const std::uint64_t expected = c.instance;
    const std::uint32_t delay = c.cfg.reenumerationDelayMs;
    Unit* target = &c;
    std::thread t([this, target, expected, delay, mode, ic, done, removed] {
        {
            CancelScope scope(stopping);
            PauseMs(delay);
        }
        if (removed) {
            std::unique_lock lock(cbMu);
            cbCv.wait(lock, [&] { return removed->load() || stopping.load(); });
        }
        Notes later;
        {
            std::lock_guard lock(mu);
            if (!stopping.load() && target->instance == expected && target->mode == Mode::Absent)
                Arrive(*target, mode, ic, later);
        }
        Dispatch(later);
        done->store(true);
    });
    timers.push_back({std::move(t), done});
}

void SimBackend::State::EnterBootloader(Unit& c, Notes& notes) {
    Reenumerate(c, Mode::Upgrade, 0, notes);
}

void SimBackend::State::Restart(Unit& c, Notes& notes, bool cable) {
    int firstInvalid = -1;
    for (std::size_t k = 0; k < c.ics.size(); ++k) {
        if (!c.ics[k].valid) {
            firstInvalid = static_cast<int>(k);
            break;
        }
    }
    const Mode mode = firstInvalid >= 0 ? Mode::Upgrade : Mode::Normal;
    const int ic = firstInvalid >= 0 ? firstInvalid : 0;
    if (cable) {
        Arrive(c, mode, ic, notes);
    } else {
        Reenumerate(c, mode, ic, notes);
    }
}

void SimBackend::State::Leave(Unit& c, LeaveTarget target, Notes& notes) {
    if (IcState* s = c.CurrentIc(); s && s->SessionComplete()) s->valid = true;
    const int next = c.ic + 1;
    if (target == LeaveTarget::NextIc && static_cast<std::size_t>(next) < c.ics.size()) {
        Reenumerate(c, Mode::Upgrade, next, notes);
    } else {
        Restart(c, notes, false);
    }
}

// ------------------------------------------------------------------ faults

bool SimBackend::State::CountTransfer(Unit& c, bool isWrite, std::uint32_t& error, Notes& notes) {
    ++c.transfers;
    bool ok = true;
    for (ArmedFault& f : c.faults) {
        if (f.fired || c.transfers < f.fault.n) continue;
        switch (f.fault.kind) {
            case FaultKind::WriteFail:
                if (isWrite) {
                    f.fired = true;
                    ok = false;
                }
                break;
            case FaultKind::ReadFail:
                if (!isWrite) {
                    f.fired = true;
                    ok = false;
                }
                break;
            case FaultKind::Remove:
                f.fired = true;
                Remove(c, notes);
                error = kSimErrorNotConnected;
                return false;
            case FaultKind::NoAnswer:
                f.fired = true;
                c.silent = true;
                break;
            default:
                break;
        }
    }
    if (!ok) error = kSimErrorGeneral;
    return ok;
}

// ------------------------------------------------------------ upgrade mode

void SimBackend::State::HandleUpgradeReport(Unit& c, const Report& r) {
    const bool isCommand = r[1] == 0xA5 && r[3] == 0x5A && r[4] == (r[2] ^ 0xFF);
    IcState* s = c.CurrentIc();
    if (!isCommand) {
        // Data report: the next 64 bytes of the open page.
        if (c.pageOpen && s && c.pageBuffer.size() < s->cfg.pageSize) {
            const std::size_t take =
                std::min<std::size_t>(64, s->cfg.pageSize - c.pageBuffer.size());
            c.pageBuffer.insert(c.pageBuffer.end(), r.begin() + 1, r.begin() + 1 + take);
        }
        return;
    }
    const std::uint8_t code = r[2];
    const bool gen2 = c.cfg.generation == Generation::V2_0;
    Reply reply;
    reply.bytes[0] = c.cfg.reportId;
    std::copy(r.begin() + 1, r.begin() + 5, reply.bytes.begin() + 1);
    std::uint8_t* out = reply.bytes.data();
    const std::uint32_t address = LoadLe32(r.data() + 5);

    switch (code) {
        case 0xE1: {
            std::uint16_t id = s ? s->cfg.updateId : 0;
            if (c.HasFault(FaultKind::WrongId)) id = static_cast<std::uint16_t>(id ^ 0x8000);
            const FlashVersion v = s ? s->ReadVersion() : FlashVersion{};
            StoreBe16(out + 5, id);
            StoreBe16(out + 7, v.fwVersion);
            StoreBe16(out + 9, v.subVersion);
            out[13] = gen2 ? 0x02 : 0x01;
            out[14] = gen2 ? 0x35 : 0x00;
            break;
        }
        case 0xE2:
            if (gen2 && r[5] == 0xAB) {
                c.pageOpen = true;
                c.addressKnown = false;
                c.pageBuffer.clear();
            }
            break;
        case 0xE3:
            if (gen2) {
                c.pageAddress = address;
                c.addressKnown = true;
            } else {
                c.pageOpen = true;
                c.addressKnown = true;
                c.pageAddress = address;
                c.pageBuffer.clear();
            }
            break;
        case 0xE4: {
            const long page = s && c.addressKnown ? s->PageOf(c.pageAddress) : -1;
            if (c.pageOpen && page >= 0 && c.pageBuffer.size() == s->cfg.pageSize) {
                const std::size_t at = static_cast<std::size_t>(page) * s->cfg.pageSize;
                DescramblePage(c.pageAddress, c.pageBuffer,
                               std::span<std::uint8_t>(s->flash.data() + at, s->cfg.pageSize));
                s->written[static_cast<std::size_t>(page)] = 1;
                s->verified[static_cast<std::size_t>(page)] = 0;
                s->lastWritten = page;
                s->valid = false;  // until the image is complete
            }
            c.pageOpen = false;
            c.addressKnown = false;
            c.pageBuffer.clear();
            break;
        }
        case 0xE5: {
            const long page = s && r[9] == 0x01 ? s->PageOf(address) : -1;
            std::uint32_t sum = 0;
            if (page >= 0) {
                const std::size_t at = static_cast<std::size_t>(page) * s->cfg.pageSize;
                for (std::size_t k = 0; k < s->cfg.pageSize; ++k) sum += s->flash[at + k];
                if (s->written[static_cast<std::size_t>(page)])
                    s->verified[static_cast<std::size_t>(page)] = 1;
                for (const ArmedFault& f : c.faults)
                    if (f.fault.kind == FaultKind::BadChecksum &&
                        f.fault.n == static_cast<std::uint32_t>(page))
                        sum += 1;
            }
            StoreLe32(out + 5, sum);
            break;
        }
        case 0xE6:
            if (r[5] == 0x11 || r[5] == 0x12) {
                c.awaitingLastEnd = false;
                if (c.cfg.answerAllUpdateOk) std::memcpy(out + 9, "ALLUpdateOK.", 12);
                if (c.cfg.answerAllUpdateOk && gen2 && r[5] == 0x11) {
                    // Every image counts as done: the host closes with 0x12,
                    // after which the controller restarts.
                    c.pendingLeave = LeaveTarget::Restart;
                    c.awaitingLastEnd = true;
                } else {
                    c.pendingLeave = r[5] == 0x11 ? LeaveTarget::NextIc : LeaveTarget::Restart;
                    reply.leaveAfter = true;
                }
            }
            break;
        default:
            break;
    }
    while (c.replies.size() >= kReplyQueueLimit) c.replies.pop_front();
    c.replies.push_back(reply);
}

// ------------------------------------------------------------- normal mode

bool SimBackend::State::HandleString(Unit& c, std::uint8_t index, std::uint8_t* buffer,
                                     std::size_t length, Notes& notes) {
    if (c.mode != Mode::Normal || c.HasFault(FaultKind::NoStrings)) return false;
    const EntryForms& forms = c.cfg.entryForms;
    const bool entryLength = length >= 14 && length <= 18;
    const bool honoured = (index == 254 && forms.string254) || (index == 255 && forms.string255);
    const bool carriesIdentity = index == c.cfg.identityStringIndex;
    if (!entryLength) c.stringIndex = -1;
    if (entryLength && !honoured) {
        c.stringIndex = -1;
        return false;
    }
    if (!entryLength && !carriesIdentity) return false;

    if (carriesIdentity) {
        const std::vector<std::uint8_t> content = c.IdentityString();
        std::memcpy(buffer, content.data(), std::min(length, content.size()));
    }
    if (entryLength) {
        // Five reads of lengths 14, 15, 16, 17, 18 in a row ask for the bootloader.
        if (length == 14) {
            c.stringIndex = index;
            c.stringNextLength = 15;
        } else if (c.stringIndex == index && static_cast<int>(length) == c.stringNextLength) {
            ++c.stringNextLength;
        } else {
            c.stringIndex = -1;
        }
        if (c.stringIndex == index && c.stringNextLength == 19) {
            c.stringIndex = -1;
            EnterBootloader(c, notes);
        }
    }
    return true;
}

bool SimBackend::State::HandleSwitchReport(Unit& c, const std::uint8_t* r, std::size_t length,
                                           Notes& notes) {
    if (c.mode != Mode::Normal || !c.cfg.entryForms.switchReport || length != 64) return false;
    const bool isSwitch = r[1] == 0xB0 && r[2] == 0x07 && r[3] == 0x4F && r[4] == 0xF8;
    if (!isSwitch) {
        c.switchNext = 0;
        return true;
    }
    if (r[5] == 0x10 + c.switchNext) {
        ++c.switchNext;
    } else {
        c.switchNext = r[5] == 0x10 ? 1 : 0;
    }
    if (c.switchNext == 5) {
        c.switchNext = 0;
        EnterBootloader(c, notes);
    }
    return true;
}

std::vector<Unit*> SimBackend::State::RumbleControllers() {
    std::vector<Unit*> out;
    for (auto& c : controllers)
        if (c->mode == Mode::Normal && c->cfg.entryForms.vibration && out.size() < 4)
            out.push_back(c.get());
    return out;
}

}  // namespace fwu::sim
