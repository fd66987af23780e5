#include "log/log.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>
#include <utility>

#include "app/settings.h"
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
// the entry and closes it again. Failures are silent: the next entry retries.
void AppendLocked(std::string_view text) {
    if (g_path.empty()) return;
    std::string storage;
    text = LimitEntry(text, storage);
    std::ofstream out(FsPath(g_path), std::ios::out | std::ios::app | std::ios::binary);
    if (!out) return;
    if (!text.empty()) {
        std::string entry;
        entry.reserve(text.size() + 1);
        entry.push_back('\n');
        entry.append(text);
        out.write(entry.data(), static_cast<std::streamsize>(entry.size()));
    }
}

std::string BuildLogPath() {
    const LocalTime t = System().Now();
    return GetExeDirectory() + kPathSeparator +
           Format("Log_%d%d%d%d%d%d.txt", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

}  // namespace

std::string logFilePath() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_path;
}

void StartLogFile() {
    if (!isLogPrint) return;
    const std::string path = BuildLogPath();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_path = path;
    AppendLocked({});
}

void StartLogFileOnce() {
    if (!isLogPrint) return;
    const std::string path = BuildLogPath();
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_path.empty()) return;
    g_path = path;
    AppendLocked({});
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

    std::lock_guard<std::mutex> lock(g_mutex);
    AppendLocked(entry);
}

void AppendLogText(std::string_view text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    AppendLocked(text);
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
}

}  // namespace fwu
