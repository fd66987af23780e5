// Test helpers: a host that drives a simulated controller with hand-built
// reports, and firmware images carrying a version block.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "package/package.h"
#include "package/version_block.h"
#include "sim/sim.h"
#include "tests/support/services.h"

namespace fwu::sim::testing {

using Bytes = std::vector<std::uint8_t>;
using Report = std::array<std::uint8_t, kReportSize>;

using test::FakeSleeper;
using test::ScopedServices;

inline IcConfig SmallIc(std::uint16_t id, std::uint32_t blockAddress) {
    IcConfig ic;
    ic.updateId = id;
    ic.pageSize = 256;
    ic.baseAddress = 0x1000;
    ic.flashSize = 8 * 256;
    ic.versionBlockAddress = blockAddress;
    ic.fwVersion = 0x0100;
    return ic;
}

// Plain firmware for `ic` with a version block for (fw, sub).
inline Bytes MakeFirmware(const IcConfig& ic, std::uint16_t fw, std::uint16_t sub,
                          std::uint32_t seed = 1) {
    Bytes plain(ic.flashSize);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : plain) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    std::uint8_t* p = plain.data() + (ic.versionBlockAddress - ic.baseAddress);
    std::memcpy(p, kVersionBlockMagic, 4);
    StoreLe16(p + 4, ic.updateId);
    StoreLe16(p + 6, fw);
    StoreLe16(p + 8, sub);
    std::memset(p + 10, 0, 6);
    return plain;
}

inline std::uint32_t PlainSum(const std::uint8_t* p, std::size_t n) {
    std::uint32_t s = 0;
    for (std::size_t k = 0; k < n; ++k) s += p[k];
    return s;
}

// Every pause returns at once and is counted; no system, HID backend or rumble
// service is installed.
class SimTest : public ::testing::Test {
  protected:
    FakeSleeper sleeper;
    ScopedServices services{{nullptr, &sleeper}};
};

// Records hot-plug events.
struct EventLog {
    std::mutex mu;
    std::vector<std::pair<HotplugEvent, std::string>> events;
    HotplugCallback Callback() {
        return [this](HotplugEvent e, const std::string& path) {
            std::lock_guard lock(mu);
            events.emplace_back(e, path);
        };
    }
    std::size_t Count() {
        std::lock_guard lock(mu);
        return events.size();
    }
};

// One open handle and the exchanges of the download protocols.
class Host {
  public:
    Host(SimBackend& sim, const std::string& path) : dev(sim.Open(path)) {}

    static Report Command(std::uint8_t code) {
        Report r{};
        r[1] = 0xA5;
        r[2] = code;
        r[3] = 0x5A;
        r[4] = static_cast<std::uint8_t>(code ^ 0xFF);
        return r;
    }
    // Write then read; false when either fails.
    bool Exchange(Report& r) {
        if (!dev->Write(r.data(), r.size())) return false;
        r.fill(0);
        return dev->Read(r.data(), r.size(), 100) == ReadStatus::Ok;
    }
    bool Simple(std::uint8_t code, std::uint32_t a = 0, std::uint32_t b = 0, int byte5 = -1) {
        Report r = Command(code);
        if (a || b) {
            StoreLe32(r.data() + 5, a);
            StoreLe32(r.data() + 9, b);
        }
        if (byte5 >= 0) r[5] = static_cast<std::uint8_t>(byte5);
        return Exchange(r);
    }
    std::optional<std::uint32_t> ReadChecksum(std::uint32_t address) {
        Report r = Command(0xE5);
        StoreLe32(r.data() + 5, address);
        r[9] = 0x01;
        if (!Exchange(r)) return std::nullopt;
        return LoadLe32(r.data() + 5);
    }
    bool SendData(const std::uint8_t* stored, std::uint32_t pageSize) {
        for (std::uint32_t k = 0; k < pageSize; k += 64) {
            Report r{};
            std::memcpy(r.data() + 1, stored + k, 64);
            if (!dev->Write(r.data(), r.size())) return false;
        }
        return true;
    }
    Report Info() {
        Report r = Command(0xE1);
        EXPECT_TRUE(Exchange(r));
        return r;
    }

    // Program `plain` page by page, the page holding the version block last
    // (or not at all when skipFinal). Checks each read-back checksum.
    bool Program(const IcConfig& ic, const Bytes& plain, Generation gen, bool skipFinal = false) {
        const std::uint32_t pages = ic.flashSize / ic.pageSize;
        const std::uint32_t final = (ic.versionBlockAddress - ic.baseAddress) / ic.pageSize;
        std::vector<Bytes> stored(pages, Bytes(ic.pageSize));
        for (std::uint32_t p = 0; p < pages; ++p)
            ScramblePage(ic.baseAddress + p * ic.pageSize,
                         ByteView(plain.data() + p * ic.pageSize, ic.pageSize), stored[p]);
        auto checksum = [&](std::uint32_t p) {
            return DevicePageChecksum(ic.baseAddress + p * ic.pageSize, stored[p]);
        };
        if (gen == Generation::V1_0) {
            if (!Simple(0xE3, ic.baseAddress + final * ic.pageSize, final)) return false;
            if (!SendData(stored[final].data(), ic.pageSize)) return false;
        }
        for (std::uint32_t i = 0; i <= pages; ++i) {
            if (i == final || (i == pages && skipFinal)) continue;
            const std::uint32_t p = i == pages ? final : i;
            const std::uint32_t address = ic.baseAddress + p * ic.pageSize;
            if (gen == Generation::V2_0) {
                if (!Simple(0xE2, 0, 0, 0xAB)) return false;
                if (!SendData(stored[p].data(), ic.pageSize)) return false;
                if (!Simple(0xE3, address, checksum(p))) return false;
            } else {
                if (!Simple(0xE3, address, p)) return false;
                if (!SendData(stored[p].data(), ic.pageSize)) return false;
            }
            if (!Simple(0xE4)) return false;
            const auto sum = ReadChecksum(address);
            if (!sum || *sum != checksum(p)) return false;
        }
        return true;
    }

    std::unique_ptr<IHidDevice> dev;
};

}  // namespace fwu::sim::testing
