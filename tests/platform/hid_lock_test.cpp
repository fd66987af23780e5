// The per-controller lock against the real mechanism (flock on a file;
// named mutexes under Wine), seen from this process and from a second one
// (fwu_hid_lock_probe): this process's opens share it, in whatever order they
// close, and another process is kept out until the last of them has closed.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#endif

#include "platform/hid_lock.h"
#include "tests/support/files.h"

namespace fwu {
namespace {

#ifdef _WIN32
const char* const kProbe = "fwu_hid_lock_probe.exe";
#else
const char* const kProbe = "./fwu_hid_lock_probe";
#endif

// The probe's exit status: 0 took the lock, 1 held by another process.
int Probe(const std::string& path) {
    const int status = std::system((std::string(kProbe) + " \"" + path + "\"").c_str());
#ifdef _WIN32
    return status;
#else
    return status == -1 ? -1 : (status >> 8) & 0xFF;
#endif
}

// One open of the controller, as the HID backend makes it: the open itself
// (a descriptor on Linux) and its share of the lock.
struct Opened {
    std::unique_ptr<HidLock> lock;
#ifndef _WIN32
    int fd = -1;
#endif
    HidLockResult result = HidLockResult::Unavailable;

    explicit Opened(const std::string& path) {
#ifdef _WIN32
        result = AcquireHidLock(path, lock);
#else
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        result = AcquireHidLock(fd, lock);
#endif
    }
    void Close() {
        lock.reset();
#ifndef _WIN32
        if (fd >= 0) ::close(fd);
        fd = -1;
#endif
    }
    ~Opened() {
        Close();
    }
};

class HidLockTest : public ::testing::Test {
  protected:
    HidLockTest() {
#ifdef _WIN32
        path = "\\\\?\\hid#vid_3a5c&pid_0001#fwu-lock-test-" + std::to_string(std::rand()) +
               "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
#else
        path = dir.Utf8("hidraw-stand-in");
        std::ofstream(path) << "node";
#endif
    }
    test::ScratchDir dir{"fwu_lock_"};
    std::string path;
};

TEST_F(HidLockTest, OpensOfOneProcessShareTheLockUntilTheLastCloses) {
    for (const bool firstClosesFirst : {true, false}) {
        {
            Opened first(path);
            ASSERT_EQ(first.result, HidLockResult::Held);
#ifdef _WIN32
            Opened second(path.substr(0, 8) + "VID_3A5C" + path.substr(16));  // any case
#else
            Opened second(path);
#endif
            ASSERT_EQ(second.result, HidLockResult::Held);
            EXPECT_FALSE(HidLockedByOther(path));  // ours
            EXPECT_EQ(Probe(path), 1);

            (firstClosesFirst ? first : second).Close();
            EXPECT_EQ(Probe(path), 1) << firstClosesFirst;
            Opened third(path);  // the one still open shares the lock again
            EXPECT_EQ(third.result, HidLockResult::Held);
            third.Close();
            EXPECT_EQ(Probe(path), 1) << firstClosesFirst;

            (firstClosesFirst ? second : first).Close();
            EXPECT_EQ(Probe(path), 0) << firstClosesFirst;
        }
        EXPECT_EQ(Probe(path), 0);
    }
}

#ifndef _WIN32
// Another process's flock is one on another open file description: made here
// with a plain open, it keeps this process out as another process's would.
TEST_F(HidLockTest, ANodeLockedElsewhereIsNotOpened) {
    const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    {
        Opened mine(path);
        EXPECT_EQ(mine.result, HidLockResult::LockedByOther);
        EXPECT_EQ(mine.lock, nullptr);
        EXPECT_TRUE(HidLockedByOther(path));
    }
    ::close(other);
    EXPECT_FALSE(HidLockedByOther(path));
    Opened mine(path);
    EXPECT_EQ(mine.result, HidLockResult::Held);
}
#endif

}  // namespace
}  // namespace fwu
