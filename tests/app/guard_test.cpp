// The platform's single-instance guard seen from a second process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>

#include "app/app.h"
#include "platform/platform.h"
#include "tests/app/fake_system.h"

namespace fwu {
namespace {

#ifdef _WIN32
const char* const kProbe = "fwu_guard_probe.exe";
#else
const char* const kProbe = "./fwu_guard_probe";
#endif

// Runs the probe (beside this test, in the working directory ctest uses) and
// returns its exit code.
int Probe(const std::string& name) {
    const int status = std::system((std::string(kProbe) + " " + name).c_str());
#ifdef _WIN32
    return status;
#else
    return status == -1 ? -1 : (status >> 8) & 0xFF;
#endif
}

std::string UniqueName() {
    std::random_device rd;
    const auto t = std::chrono::steady_clock::now().time_since_epoch().count();
    return "fwu_guard_test_" + std::to_string(rd()) + "_" + std::to_string(t);
}

class GuardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(kProbe))
            << kProbe << " missing in " << std::filesystem::current_path();
#ifndef _WIN32
        // Lock files of this run go to a runtime directory of its own (the
        // probe inherits it), removed afterwards.
        runtimeDir_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(runtimeDir_);
        ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
#endif
    }
    void TearDown() override {
#ifndef _WIN32
        std::error_code ec;
        std::filesystem::remove_all(runtimeDir_, ec);
#endif
    }
    std::filesystem::path runtimeDir_;
    const std::string name = UniqueName();
};

TEST_F(GuardTest, HeldForExactlyAsLongAsTheGuardLives) {
    EXPECT_EQ(Probe(name), 0);  // nobody holds it; the probe's hold ends with it
    {
        std::unique_ptr<IInstanceGuard> guard;
        ASSERT_EQ(AcquirePlatformInstanceGuard(name, guard), InstanceResult::Acquired);
        ASSERT_NE(guard, nullptr);
        EXPECT_EQ(Probe(name), 1);
        std::unique_ptr<IInstanceGuard> second;
        EXPECT_EQ(AcquirePlatformInstanceGuard(name, second), InstanceResult::AlreadyRunning);
        EXPECT_EQ(second, nullptr);
        EXPECT_EQ(Probe(name), 1);  // a refused attempt does not weaken the hold
    }
    EXPECT_EQ(Probe(name), 0);
    std::unique_ptr<IInstanceGuard> again;
    EXPECT_EQ(AcquirePlatformInstanceGuard(name, again), InstanceResult::Acquired);
}

// A system whose guard is the real one, under a name of this test run so that
// parallel runs and a running copy of the tool do not meet; the rest is fake.
class RealGuardSystem : public test::FakeSystem {
  public:
    explicit RealGuardSystem(std::string realName) : realName_(std::move(realName)) {}
    InstanceResult AcquireSingleInstance(const std::string& n,
                                         std::unique_ptr<IInstanceGuard>& guard) override {
        lastGuardName = n;
        return AcquirePlatformInstanceGuard(realName_, guard);
    }

  private:
    std::string realName_;
};

TEST_F(GuardTest, RunningApplicationRefusesASecondProcessUntilItEnds) {
    RealGuardSystem sys(name);
    SetSystem(&sys);
    int whileRunning = -1;
    {
        CFirmwareUpgradeApp app([&] { whileRunning = Probe(name); },
                                [](const std::string&, const std::string&) {});
        EXPECT_FALSE(app.InitInstance());
        EXPECT_TRUE(app.HoldsGuard());
        EXPECT_EQ(Probe(name), 1);  // still held after the dialog closed
    }
    EXPECT_EQ(sys.lastGuardName, CFirmwareUpgradeApp::kMutexName);
    EXPECT_EQ(whileRunning, 1);
    EXPECT_EQ(Probe(name), 0);
    SetSystem(nullptr);
}

}  // namespace
}  // namespace fwu
