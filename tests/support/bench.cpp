#include "tests/support/bench.h"

#include <chrono>
#include <stdexcept>

#include "device/DeviceManager.h"
#include "platform/hid.h"

namespace fwu::test {

std::intptr_t RecordingSink::SendUpgradeMessage(unsigned msg, std::uintptr_t wParam,
                                                std::intptr_t lParam) {
    Message m{msg, wParam, lParam, {}, 0};
    if (msg == WM_UPGRADE_RESULT && wParam == 0) {
        m.results = *reinterpret_cast<const std::vector<ImageResult>*>(lParam);
    }
    if (controller != nullptr && msg != WM_UPGRADE_PROGRESS)
        m.traceSize = controller->Trace().size();
    if (onMessage) onMessage(m);
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(std::move(m));
    }
    cv_.notify_all();
    return 0;
}

std::vector<Message> RecordingSink::Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<Message> RecordingSink::Of(unsigned msg) const {
    std::vector<Message> out;
    for (const Message& m : Messages()) {
        if (m.msg == msg) out.push_back(m);
    }
    return out;
}

int RecordingSink::Successes() const {
    int n = 0;
    for (const Message& m : Of(WM_UPGRADE_RESULT)) n += m.wParam == 0 ? 1 : 0;
    return n;
}

std::int32_t RecordingSink::FirstFailure() const {
    for (const Message& m : Of(WM_UPGRADE_RESULT)) {
        if (m.wParam == 1) return static_cast<std::int32_t>(m.lParam);
    }
    return 0;
}

bool RecordingSink::WaitFor(unsigned msg, std::size_t count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] {
        std::size_t n = 0;
        for (const Message& m : messages_) n += m.msg == msg ? 1 : 0;
        return n >= count;
    });
}

sim::Config SimFor(const Package& package, sim::Generation generation) {
    sim::Config cfg;
    cfg.startInBootloader = true;
    cfg.generation = generation;
    cfg.upgradeId = sim::kUpgradeId2033;
    cfg.ics.clear();
    for (std::size_t k = 0; k < package.manifest.images.size(); ++k) {
        const pkg::ImageEntry& entry = package.manifest.images[k];
        sim::IcConfig ic;
        ic.updateId = static_cast<std::uint16_t>(entry.updateId);
        ic.pageSize = entry.pageSize;
        ic.baseAddress = entry.baseAddress;
        ic.flashSize = static_cast<std::uint32_t>(package.firmware[k].size());
        ic.versionBlockAddress = entry.baseAddress + entry.finalPageOffset;
        ic.fwVersion = static_cast<std::uint16_t>(entry.fwVersion - 0x10);  // one minor older
        ic.subVersion = 0;
        cfg.ics.push_back(ic);
    }
    return cfg;
}

Bench::Bench(const Package& pkg, const sim::Config& simConfig)
    : package(pkg), backend(simConfig), controller(backend.Controller(0)), worker(context, slots) {
    sink.controller = &controller;
    context.config = &package.config;
    context.doneFlags.assign(package.config.imageCount, 0);
    context.hwnd = &sink;
    context.imageData = &package.images;
    for (std::uint32_t k = 0; k < package.config.imageCount; ++k) {
        context.progressTotal += PackageImage(package.images[k]).progressUnits();
    }
}

Bench::~Bench() {
    worker.Shutdown();
    slots.Reset();
}

bool Bench::AttachSlot() {
    if (controller.mode() != sim::Mode::Upgrade) return false;
    const std::string path = controller.path();
    DeviceHandle device = OpenDevice(path);
    if (!device) return false;
    DeviceInfo info{};
    if (!GetDeviceInfo(*device, &info, kModeUpgrade, 1)) return false;
    slots.Reset();
    DeviceSlot slot;
    slot.hidDevice = device;
    slot.vid = controller.identity().vid;
    slot.pid = controller.identity().pid;
    slot.upgradeMode = 1;
    slot.updateId = info.updateId;
    slot.devicePath = path;
    return slots.Take(slot).has_value();
}

void Bench::RunImage(int k) {
    context.currentImage = k;
    const std::uint16_t id = slots.Get(0).updateId;
    worker.OnStartUpgrade(id, reinterpret_cast<std::intptr_t>(package.images[k].data()));
    counterAfterImage.push_back(context.progressCounter);
}

int Bench::RunAll() {
    int handed = 0;
    for (std::uint32_t k = 0; k < package.config.imageCount; ++k) {
        if (!AttachSlot()) break;
        RunImage(static_cast<int>(k));
        ++handed;
        if (sink.FirstFailure() != 0) break;
    }
    return handed;
}

std::vector<std::vector<std::uint8_t>> Bench::Sent() const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const sim::TraceEntry& e : controller.Trace()) {
        if (e.dir == sim::TraceDir::HostToDevice && e.kind == sim::TraceKind::Report &&
            e.mode == sim::Mode::Upgrade) {
            out.push_back(e.bytes);
        }
    }
    return out;
}

std::uint64_t ReportsOfRun(const Package& package, sim::Generation generation) {
    const bool v2 = generation == sim::Generation::V2_0;
    std::uint64_t reports = 0;
    for (std::uint32_t k = 0; k < package.config.imageCount; ++k) {
        const PackageImage image(package.images[k]);
        const std::uint64_t data = image.reportsPerPage();
        reports += image.pageCount() * (data + (v2 ? 4 : 3)) + (v2 ? 0 : 1 + data) + 4;
    }
    return reports;
}

bool IsCommand(const std::vector<std::uint8_t>& r, std::uint8_t code) {
    return r.size() >= 5 && r[1] == 0xA5 && r[2] == code && r[3] == 0x5A &&
           r[4] == static_cast<std::uint8_t>(code ^ 0xFF);
}

std::uint32_t Le32(const std::vector<std::uint8_t>& r, std::size_t offset) {
    return static_cast<std::uint32_t>(r[offset]) |
           (static_cast<std::uint32_t>(r[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(r[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(r[offset + 3]) << 24);
}

}  // namespace fwu::test
