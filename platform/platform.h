// Factories of the platform implementations; each platform folder provides
// every one of them (platform/linux, platform/windows).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/pause.h"
#include "platform/hid.h"
#include "platform/stop_signal.h"
#include "platform/system.h"

namespace fwu {

std::unique_ptr<ISystem> CreatePlatformSystem();
// The real sleeper (on Windows the system timer runs at 1 ms resolution for
// the length of each pause).
std::unique_ptr<ISleeper> CreatePlatformSleeper();
std::unique_ptr<IHidBackend> CreatePlatformHidBackend();
std::unique_ptr<IHotplugSource> CreatePlatformHotplug();
std::unique_ptr<IRumble> CreatePlatformRumble();

// Termination signals become stop requests (stop_signal.h). Call first in
// main(), before any thread starts: on Linux it blocks SIGINT, SIGTERM and
// SIGHUP in the calling thread, so that every thread started later inherits
// the block and the source's thread alone receives them (a signal the
// process was started with ignored, as nohup or a background job does,
// stays ignored). Nothing to do on Windows.
void HoldStopSignals();
// Linux: the signals held above, read by a thread with signalfd. Windows:
// the console's control events (Ctrl+C, Ctrl+Break, the console closed,
// log-off, shut-down) through a console control handler; a program without a
// console gets none.
std::unique_ptr<IStopSignalSource> CreatePlatformStopSignals();

// The single-instance guard of this platform, as used by the ISystem of
// CreatePlatformSystem(); usable on its own by small helper programs.
InstanceResult AcquirePlatformInstanceGuard(const std::string& name,
                                            std::unique_ptr<IInstanceGuard>& guard);
#ifndef _WIN32
// The file whose lock is the guard `name` of the current user.
std::string PlatformInstanceLockPath(const std::string& name);
#endif

// Bytes of the records embedded into the executable at build time
// (137 configuration, 138 package); nullopt when absent.
std::optional<std::vector<std::uint8_t>> LoadEmbeddedRecord(int id);

// ISystem::AppendLineLocked and ISystem::ReadFileLocked of this platform
// (Linux: O_APPEND, flock and fsync; Windows: LockFileEx and
// FlushFileBuffers), usable on their own by tests and helper programs.
std::string AppendPlatformFileLine(const std::string& path, const std::string& line);
std::string ReadPlatformFileLocked(const std::string& path, std::string& content);

}  // namespace fwu
