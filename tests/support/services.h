// The process-wide services a test installs (system, sleeper, HID backend,
// rumble) and the fakes most tests install there.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/pause.h"
#include "platform/hid.h"
#include "platform/system.h"

namespace fwu::test {

// A settable ISystem: executable path, settings files by path (read as the
// platform's INI reader does; the only regular files it knows), computer
// name, records by id, clock, the single-instance guard's outcome, where an
// installed copy keeps its files (installed or portable, environment, home,
// folders of other users) and appended files (kept in memory).
class FakeSystem : public ISystem {
  public:
    std::string exePath;
    std::map<std::string, std::string> iniFiles;  // path -> file text
    std::string computerName = "TESTPC";
    std::map<int, std::vector<std::uint8_t>> records;
    LocalTime now{2024, 3, 5, 9, 7, 2};
    InstanceResult guardResult = InstanceResult::Acquired;
    std::string lastGuardName;
    bool installed = false;
    std::map<std::string, std::string> environment;
    std::string home;
    // Paths starting with one of these belong to another user.
    std::vector<std::string> othersFolders;

    std::string ExecutablePath() override { return exePath; }
    std::string ReadIniValue(const std::string& path, const std::string& section,
                             const std::string& key, std::size_t capacity) override;
    std::string ComputerName() override { return computerName; }
    std::optional<std::vector<std::uint8_t>> LoadRecord(int id) override;
    LocalTime Now() override { return now; }
    InstanceResult AcquireSingleInstance(const std::string& name,
                                         std::unique_ptr<IInstanceGuard>& guard) override;
    bool IsInstalledCopy() override { return installed; }
    std::optional<std::string> Environment(const std::string& name) override;
    std::string HomeDirectory() override { return home; }
    bool OwnedByEffectiveUser(const std::string& path) override;
    bool IsRegularFile(const std::string& path) override { return iniFiles.count(path) > 0; }

    std::map<std::string, std::string> appended;  // path -> lines appended
    std::string AppendLineLocked(const std::string& path, const std::string& line) override {
        appended[path] += line + '\n';
        return {};
    }
};

// Pauses cost nothing. The total and count asked for are kept; `onSleep`, when
// set, sees each pause (to record, block or signal) on the caller's thread.
class FakeSleeper : public ISleeper {
  public:
    void Sleep(std::uint32_t ms) override;
    std::atomic<std::uint64_t> total{0};
    std::atomic<std::uint64_t> calls{0};
    std::function<void(std::uint32_t)> onSleep;
};

// Installs the given services for its lifetime and unsets them at the end; a
// null member leaves that service as it was. With `fresh`, logging is
// also switched off and both slot tables emptied on both ends; a caller that
// keeps the log running across several installs (a benchmark) clears it.
struct Services {
    ISystem* system = nullptr;
    ISleeper* sleeper = nullptr;
    IHidBackend* hid = nullptr;
    IRumble* rumble = nullptr;
    bool fresh = true;
};

class ScopedServices {
  public:
    explicit ScopedServices(const Services& services);
    ~ScopedServices();
    ScopedServices(const ScopedServices&) = delete;
    ScopedServices& operator=(const ScopedServices&) = delete;

  private:
    Services services_;
};

}  // namespace fwu::test
