// The update history: one record per Update press, in every front end, kept
// as JSON lines in "history.jsonl" in the per-user state folder, so that a
// service bench knows which controller got which firmware and how it went.
//
// A record is one JSON object on one line, its members in this order:
//   time         when Update was pressed, UTC, "2024-03-05T09:07:02Z"
//   version      the tool's version (as --version prints it)
//   front_end    "window", "console" or "station" (a run of --station)
//   location     the USB port the controller was plugged into; "" where the
//                platform gives none
//   product      the product name of the configuration record
//   vid, pid     the USB identity of the controller pressed on, 4 lower-case
//                hexadecimal digits ("3a5c")
//   serial       its USB serial number; "" when it has none
//   forced       Shift was held (the version check overridden)
//   before       its firmware version label at the press ("V1.30.10")
//   after        the versions the run verified, in the same form; "" when
//                no image was finished
//   returned_version  (console) the version label the controller showed when
//                it came back in normal mode after "Update OK"; "" when it
//                did not come back (the window does not wait for it)
//   outcome      updated, unconfirmed, failed, refused or no_device
//   status       the console's exit status of that outcome (0, 4, 1, 2, 3)
//   duration_ms  from the press to the outcome
//   simulated    the simulated controller (--simulate)
//   replayed     a replayed trace (--replay)
// Readers ignore members they do not know; later versions may add some.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace fwu {

inline constexpr const char* kHistoryFileName = "history.jsonl";

// How a run ended, numbered as the console's exit statuses.
inline constexpr int kRunUpdated = 0;
inline constexpr int kRunFailed = 1;
inline constexpr int kRunRefused = 2;
inline constexpr int kRunNoDevice = 3;
inline constexpr int kRunUnconfirmed = 4;
// "updated", "failed", ...; "status_N" for a status without a name.
std::string RunOutcomeName(int status);

struct HistoryRecord {
    std::string time;
    std::string version;
    std::string frontEnd;
    std::string location;
    std::string product;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string serial;
    bool forced = false;
    std::string before;
    std::string after;
    std::string returnedVersion;
    std::string outcome;
    int status = 0;
    std::int64_t durationMs = 0;
    bool simulated = false;
    bool replayed = false;
    bool operator==(const HistoryRecord&) const = default;
};

// The time now in the form of `time`.
std::string HistoryTimeNow();

// One record as its line (without the line feed). Text that is not UTF-8 is
// replaced, never refused.
std::string FormatHistoryLine(const HistoryRecord& record);

struct HistoryEntry {
    HistoryRecord record;
    std::string line;  // as stored
};
struct HistoryContents {
    std::vector<HistoryEntry> entries;  // oldest first
    // One text per line that is no record (cut off by a power loss, or
    // damaged): which line, and that it was skipped.
    std::vector<std::string> skipped;
};
// The records of a history file's text. Members missing from a line keep
// their defaults; a line that is not a JSON object is skipped.
HistoryContents ParseHistory(std::string_view text);

// The records as a table with a heading line: time, port, controller,
// serial, before, after, outcome, duration; newest last.
std::string HistoryTable(const std::vector<HistoryEntry>& entries);

// The history file in `directory`.
std::string HistoryFilePath(const std::string& directory);

// Where the runs of this process are recorded. Thread-safe: several runs
// (one per port) may end at once.
class RunHistory {
  public:
    // What every record of this process shares.
    struct Context {
        std::string version;
        std::string frontEnd;
        bool simulated = false;
        bool replayed = false;
    };
    // `directory` "": no folder can be used, and every append fails.
    // `onFirstError` hears the first failure only (the run goes on as if
    // nothing happened).
    RunHistory(std::string directory, Context context,
               std::function<void(const std::string& message)> onFirstError = {});

    const std::string& Path() const { return path_; }
    // Completes `record` with the context and appends it (through
    // ISystem::AppendLineLocked, after creating the folder). "" on success,
    // otherwise what went wrong.
    std::string Append(HistoryRecord record);

  private:
    std::string directory_;
    std::string path_;
    Context context_;
    std::function<void(const std::string&)> onFirstError_;
    std::mutex mutex_;
    bool reported_ = false;
};

// The process's history, set by the front end at start-up (or by a test);
// null: runs are not recorded.
RunHistory* UpdateHistory();
void SetUpdateHistory(RunHistory* history);
// Sets it for as long as it lives.
class ScopedUpdateHistory {
  public:
    explicit ScopedUpdateHistory(RunHistory* history) { SetUpdateHistory(history); }
    ~ScopedUpdateHistory() { SetUpdateHistory(nullptr); }
    ScopedUpdateHistory(const ScopedUpdateHistory&) = delete;
    ScopedUpdateHistory& operator=(const ScopedUpdateHistory&) = delete;
};

// --history: the records of the history in `directory` as a table, or with
// `json` as the lines stored, on `out`; every skipped line is said on `err`
// with `appName` in front. Returns the exit status: 0, or 1 when the file
// cannot be read.
int PrintHistory(const std::string& directory, bool json, std::ostream& out, std::ostream& err,
                 const std::string& appName);

}  // namespace fwu
