// A settable ISystem for tests: executable path, settings files by path (read
// with IniLookup), clock and guard outcome.
#pragma once

#include <map>
#include <string>

#include "base/ini.h"
#include "platform/system.h"

namespace fwu::test {

class FakeSystem : public ISystem {
  public:
    std::string exePath;
    std::map<std::string, std::string> iniFiles;  // path -> file text
    LocalTime now{2024, 3, 5, 9, 7, 2};
    InstanceResult guardResult = InstanceResult::Acquired;
    std::string lastGuardName;

    std::string ExecutablePath() override { return exePath; }
    std::string ReadIniValue(const std::string& path, const std::string& section,
                             const std::string& key, std::size_t capacity) override {
        const auto it = iniFiles.find(path);
        return it == iniFiles.end() ? std::string() : IniLookup(it->second, section, key, capacity);
    }
    std::string ComputerName() override { return "TESTPC"; }
    std::optional<std::vector<std::uint8_t>> LoadRecord(int) override { return std::nullopt; }
    LocalTime Now() override { return now; }
    InstanceResult AcquireSingleInstance(const std::string& name,
                                         std::unique_ptr<IInstanceGuard>& guard) override {
        lastGuardName = name;
        if (guardResult == InstanceResult::Acquired) guard = std::make_unique<IInstanceGuard>();
        return guardResult;
    }
};

// Installs a FakeSystem for the lifetime of the object.
struct ScopedFakeSystem {
    ScopedFakeSystem() { SetSystem(&fake); }
    ~ScopedFakeSystem() { SetSystem(nullptr); }
    FakeSystem fake;
};

}  // namespace fwu::test
