// An ISystem that serves the two records from memory, and a builder of small
// valid records for the loader tests.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "package/package.h"
#include "platform/system.h"

namespace fwu::test {

class FakeRecordSystem : public ISystem {
  public:
    std::map<int, std::vector<std::uint8_t>> records;

    std::string ExecutablePath() override { return ""; }
    std::string ReadIniValue(const std::string&, const std::string&, const std::string&,
                             std::size_t) override {
        return "";
    }
    std::string ComputerName() override { return ""; }
    std::optional<std::vector<std::uint8_t>> LoadRecord(int id) override {
        const auto it = records.find(id);
        if (it == records.end()) return std::nullopt;
        return it->second;
    }
    LocalTime Now() override { return {}; }
    InstanceResult AcquireSingleInstance(const std::string&,
                                         std::unique_ptr<IInstanceGuard>&) override {
        return InstanceResult::NoGuard;
    }
};

// Installs the fake for the life of the object.
struct ScopedFakeSystem {
    FakeRecordSystem fake;
    ScopedFakeSystem() { SetSystem(&fake); }
    ~ScopedFakeSystem() { SetSystem(nullptr); }
};

}  // namespace fwu::test
