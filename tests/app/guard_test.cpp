// The single-instance guard seen from a second process (fwu_guard_probe).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/app.h"
#include "platform/platform.h"
#include "tests/support/services.h"

namespace fwu {
namespace {

#ifdef _WIN32
const char* const kProbe = "fwu_guard_probe.exe";
#else
const char* const kProbe = "./fwu_guard_probe";
#endif

// Exit code of the probe, which ctest finds in the test's working directory.
int Probe(const std::string& name, const std::string& environment = "") {
    const int status = std::system((environment + std::string(kProbe) + " " + name).c_str());
#ifdef _WIN32
    return status;
#else
    return status == -1 ? -1 : (status >> 8) & 0xFF;
#endif
}

// The real guard under a name of this run, so that parallel runs and a
// running copy of the tool do not meet; the rest is fake.
class RealGuardSystem : public test::FakeSystem {
  public:
    std::string realName =
        "fwu_guard_test_" + std::to_string(std::random_device{}()) + "_" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    InstanceResult AcquireSingleInstance(const std::string& n,
                                         std::unique_ptr<IInstanceGuard>& guard) override {
        lastGuardName = n;
        return AcquirePlatformInstanceGuard(realName, guard);
    }
};

TEST(Guard, RunningApplicationRefusesOtherStartsUntilItEnds) {
    ASSERT_TRUE(std::filesystem::exists(kProbe)) << "in " << std::filesystem::current_path();
    RealGuardSystem sys;
    int whileRunning = -1;
    {
        test::ScopedServices services({.system = &sys});
        CFirmwareUpgradeApp app([&] { whileRunning = Probe(sys.realName); },
                                [](const std::string&, const std::string&) {});
        EXPECT_FALSE(app.InitInstance());
        EXPECT_TRUE(app.HoldsGuard());
        EXPECT_EQ(Probe(sys.realName), 1);  // still held after the dialog closed
        std::unique_ptr<IInstanceGuard> second;
        EXPECT_EQ(AcquirePlatformInstanceGuard(sys.realName, second),
                  InstanceResult::AlreadyRunning);
        EXPECT_EQ(Probe(sys.realName), 1);  // a refused attempt does not weaken the hold
#ifndef _WIN32
        // One lock per user, whatever the environment says.
        EXPECT_EQ(Probe(sys.realName, "env -u XDG_RUNTIME_DIR "), 1);
        EXPECT_EQ(Probe(sys.realName, "env XDG_RUNTIME_DIR=/ "), 1);
#endif
    }
    EXPECT_EQ(whileRunning, 1);
    EXPECT_EQ(sys.lastGuardName, CFirmwareUpgradeApp::kMutexName);
    EXPECT_EQ(Probe(sys.realName), 0);
#ifndef _WIN32
    std::filesystem::remove(PlatformInstanceLockPath(sys.realName));
#endif
}

#ifndef _WIN32
TEST(Guard, ALockFileThatIsNotOursDoesNotBlockTheStart) {
    const std::string name = RealGuardSystem().realName;
    const std::string path = PlatformInstanceLockPath(name);
    std::unique_ptr<IInstanceGuard> guard;
    // A FIFO planted under the lock's name, then another user's file.
    ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0) << path;
    EXPECT_EQ(AcquirePlatformInstanceGuard(name, guard), InstanceResult::NoGuard);
    EXPECT_EQ(guard, nullptr);
    std::filesystem::remove(path);
    if (::geteuid() == 0) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
        ::close(fd);
        EXPECT_EQ(AcquirePlatformInstanceGuard(name, guard), InstanceResult::NoGuard);
        std::filesystem::remove(path);
    }
    EXPECT_EQ(AcquirePlatformInstanceGuard(name, guard), InstanceResult::Acquired);
    guard.reset();
    std::filesystem::remove(path);
}
#endif

}  // namespace
}  // namespace fwu
