#include "log/log.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include "app/locations.h"
#include "base/text.h"
#include "platform/system.h"

namespace fwu {

std::atomic<bool> isLogPrint{false};

namespace {

// Serialises entries of the dialog's and the worker's threads and guards the
// current path.
std::mutex g_mutex;
std::string g_path;
thread_local std::string t_tag;
LogProblemHandler g_problemHandler;
std::atomic<bool> g_problemReported{false};

// Called without the lock held.
void ReportProblem(const std::string& problem) {
    if (!g_problemHandler || g_problemReported.exchange(true)) return;
    g_problemHandler(problem);
}

std::filesystem::path FsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// An entry holds at most kMaxEntryUnits UTF-16 code units; a longer one is cut
// there, never inside a surrogate pair. Shorter entries keep their bytes.
std::string_view LimitEntry(std::string_view text, std::string& storage) {
    if (text.size() <= kMaxEntryUnits) return text;  // a byte is at most one unit
    std::u16string wide = Utf8ToUtf16(text);
    if (wide.size() <= kMaxEntryUnits) return text;
    std::size_t cut = kMaxEntryUnits;
    if (wide[cut - 1] >= 0xD800 && wide[cut - 1] <= 0xDBFF) --cut;
    wide.resize(cut);
    storage = Utf16ToUtf8(wide);
    return storage;
}

// Opens the current file for appending (creating it when missing), writes
// the entry and closes it again; false when the file cannot be opened. The
// entry is then lost and the next one tries again.
bool AppendLocked(std::string_view text) {
    if (g_path.empty()) return true;
    std::string storage;
    text = LimitEntry(text, storage);
    std::ofstream out(FsPath(g_path), std::ios::out | std::ios::app | std::ios::binary);
    if (!out) return false;
    if (!text.empty()) {
        std::string entry;
        entry.reserve(text.size() + 1);
        entry.push_back('\n');
        entry.append(text);
        out.write(entry.data(), static_cast<std::streamsize>(entry.size()));
    }
    return true;
}

void ReportAppendFailure(const std::string& path) {
    ReportProblem("cannot write the diagnostic log " + path);
}

// The new file's path, "" (with `problem` set) when there is no folder for it.
std::string BuildLogPath(std::string& problem) {
    const std::optional<std::string> dir = LogDirectory();
    if (!dir) {
        problem =
            "cannot write the diagnostic log: no per-user folder that belongs to this user "
            "(see --log-dir)";
        return {};
    }
    // Beside the executable the folder exists; the per-user folder and
    // --log-dir are made when missing.
    if (!dir->empty() && !EnsureDirectory(*dir)) {
        problem = "cannot write the diagnostic log: cannot create the folder " + *dir;
        return {};
    }
    const LocalTime t = System().Now();
    return *dir + kPathSeparator +
           Format("Log_%d%d%d%d%d%d.txt", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

}  // namespace

std::string logFilePath() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_path;
}

void StartLogFile() {
    if (!isLogPrint) return;
    std::string problem;
    const std::string path = BuildLogPath(problem);
    bool created = true;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_path = path;
        created = AppendLocked({});
    }
    if (!problem.empty()) ReportProblem(problem);
    if (!created) ReportAppendFailure(path);
}

void StartLogFileOnce() {
    if (!isLogPrint) return;
    std::string problem;
    const std::string path = BuildLogPath(problem);
    bool created = true;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_path.empty()) return;
        g_path = path;
        created = AppendLocked({});
    }
    if (!problem.empty()) ReportProblem(problem);
    if (!created) ReportAppendFailure(path);
}

void WriteLog(const char* sourceFile, const char* function, int line, std::string_view message) {
    if (!isLogPrint) return;
    // Only the last component of the source path: our compilers write '/' in
    // file names on every platform, so both separators end the directory.
    std::string_view file = sourceFile ? sourceFile : "";
    const std::size_t slash = file.find_last_of("\\/");
    if (slash != std::string_view::npos) file.remove_prefix(slash + 1);

    std::string entry;
    entry.reserve(t_tag.size() + file.size() + message.size() + 52);
    if (!t_tag.empty()) {
        entry.push_back('[');
        entry.append(t_tag);
        entry.append("] ");
    }
    entry.append(file);
    entry.push_back(' ');
    entry.append(function ? function : "");
    entry.append("()");
    entry.append(Format(" Line:%d:", line));
    entry.append(message);

    std::string failed;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!AppendLocked(entry)) failed = g_path;
    }
    if (!failed.empty()) ReportAppendFailure(failed);
}

void AppendLogText(std::string_view text) {
    std::string failed;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!AppendLocked(text)) failed = g_path;
    }
    if (!failed.empty()) ReportAppendFailure(failed);
}

void SetLogProblemHandler(LogProblemHandler handler) {
    g_problemHandler = std::move(handler);
    g_problemReported = false;
}

void LimitLogFileSize() {
    const std::string path = logFilePath();
    if (path.empty()) return;
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(FsPath(path), ec);
    if (ec) return;  // missing or unreadable: keep the current file
    if (static_cast<std::uint64_t>(size) > kLogSizeLimit) StartLogFile();
}

LogTagScope::LogTagScope(std::string tag) : previous_(std::move(t_tag)) {
    t_tag = std::move(tag);
}

LogTagScope::~LogTagScope() {
    t_tag = std::move(previous_);
}

const std::string& CurrentLogTag() {
    return t_tag;
}

void ResetLogForTests() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_path.clear();
    isLogPrint = false;
    g_problemHandler = nullptr;
    g_problemReported = false;
    SetLogDirectoryOverride({});
}

}  // namespace fwu
