#include "tests/support/services.h"

#include "base/ini.h"
#include "device/slots.h"
#include "log/log.h"

namespace fwu::test {

std::string FakeSystem::ReadIniValue(const std::string& path, const std::string& section,
                                     const std::string& key, std::size_t capacity) {
    const auto it = iniFiles.find(path);
    return it == iniFiles.end() ? std::string() : IniLookup(it->second, section, key, capacity);
}

std::optional<std::vector<std::uint8_t>> FakeSystem::LoadRecord(int id) {
    const auto it = records.find(id);
    if (it == records.end()) return std::nullopt;
    return it->second;
}

InstanceResult FakeSystem::AcquireSingleInstance(const std::string& name,
                                                 std::unique_ptr<IInstanceGuard>& guard) {
    lastGuardName = name;
    if (guardResult == InstanceResult::Acquired) guard = std::make_unique<IInstanceGuard>();
    return guardResult;
}

std::optional<std::string> FakeSystem::Environment(const std::string& name) {
    const auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
}

bool FakeSystem::OwnedByEffectiveUser(const std::string& path) {
    for (const std::string& folder : othersFolders)
        if (path.starts_with(folder)) return false;
    return true;
}

void FakeSleeper::Sleep(std::uint32_t ms) {
    total += ms;
    ++calls;
    if (onSleep) onSleep(ms);
}

namespace {

void ResetProcess() {
    ResetLogForTests();
    m_hNormal.Reset();
    m_hUpdate.Reset();
}

}  // namespace

ScopedServices::ScopedServices(const Services& services) : services_(services) {
    if (services_.fresh) ResetProcess();
    if (services_.system) SetSystem(services_.system);
    if (services_.sleeper) SetSleeper(services_.sleeper);
    if (services_.hid) SetHidBackend(services_.hid);
    if (services_.rumble) SetRumble(services_.rumble);
}

ScopedServices::~ScopedServices() {
    if (services_.fresh) ResetProcess();
    if (services_.rumble) SetRumble(nullptr);
    if (services_.hid) SetHidBackend(nullptr);
    if (services_.sleeper) SetSleeper(nullptr);
    if (services_.system) SetSystem(nullptr);
}

}  // namespace fwu::test
