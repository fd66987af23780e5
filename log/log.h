// The diagnostic log: "Log_" + local time + ".txt" in the log folder (beside
// the executable, the per-user state folder of an installed copy, or
// --log-dir: app/locations.h), UTF-8 without BOM, each entry a line feed
// followed by "<source file> <function>() Line:<n>:<message>". Written only
// while isLogPrint is on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace fwu {

inline constexpr std::uint64_t kLogSizeLimit = 10485760;  // 10 MiB
inline constexpr std::size_t kMaxEntryUnits = 511;        // UTF-16 code units

// Process-wide switch, set at start-up. Several dialogs (one per port) may
// set it from their own threads while workers read it, hence atomic.
extern std::atomic<bool> isLogPrint;

// Full path of the current log file (UTF-8).
std::string logFilePath();

void WriteLog(const char* sourceFile, const char* function, int line, std::string_view message);
void StartLogFile();
// Starts the log file only when none was started in this process yet (and
// logging is on): every dialog of the process writes into one file.
void StartLogFileOnce();
void LimitLogFileSize();
void AppendLogText(std::string_view text);

// Told, once per process, that the log cannot be written (no folder for it,
// or the file cannot be created): the console says so on standard error.
// Without a handler the entry is lost silently. Set before any log starts.
using LogProblemHandler = std::function<void(const std::string& problem)>;
void SetLogProblemHandler(LogProblemHandler handler);

// Test support: forget the current file, the problem handler and --log-dir,
// and switch logging off.
void ResetLogForTests();

// The tag of the calling thread's log entries: while one is set, every entry
// the thread writes begins with "[tag] " (a run that serves one port among
// several says whose lines they are); without one an entry is exactly as
// above. Set for the lifetime of the object; the previous tag comes back.
class LogTagScope {
  public:
    explicit LogTagScope(std::string tag);
    ~LogTagScope();
    LogTagScope(const LogTagScope&) = delete;
    LogTagScope& operator=(const LogTagScope&) = delete;

  private:
    std::string previous_;
};
// The calling thread's tag, "" when none is set.
const std::string& CurrentLogTag();

}  // namespace fwu

// A call site passes its own file, function and line. A source file may name
// the module it logs as by defining FWU_LOG_FILE before including this header.
#ifdef FWU_LOG_FILE
#define FWU_LOG(msg) ::fwu::WriteLog(FWU_LOG_FILE, __func__, __LINE__, (msg))
#else
#define FWU_LOG(msg) ::fwu::WriteLog(__FILE__, __func__, __LINE__, (msg))
#endif
#define FWU_LOGF(...) FWU_LOG(::fwu::Format(__VA_ARGS__))
