#include "app/history.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <ostream>
#include <system_error>

#include "app/locations.h"
#include "base/text.h"
#include "platform/system.h"

namespace fwu {
namespace {

using Json = nlohmann::ordered_json;

std::atomic<RunHistory*> g_history{nullptr};

std::string Hex4(std::uint16_t value) {
    return Format("%04x", static_cast<unsigned>(value));
}

std::uint16_t ParseHex4(const std::string& text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    return end != text.c_str() && value <= 0xFFFF ? static_cast<std::uint16_t>(value) : 0;
}

// A member of the wanted type, or the default.
template <class T>
void Read(const Json& object, const char* name, T& out) {
    const auto it = object.find(name);
    if (it == object.end()) return;
    if constexpr (std::is_same_v<T, std::string>) {
        if (it->is_string()) out = it->template get<std::string>();
    } else if constexpr (std::is_same_v<T, bool>) {
        if (it->is_boolean()) out = it->template get<bool>();
    } else {
        if (it->is_number_integer()) out = it->template get<T>();
    }
}

// Width of a table cell in characters (UTF-8 continuation bytes not counted).
std::size_t Width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string OrDash(const std::string& text) {
    return text.empty() ? "-" : text;
}

}  // namespace

std::string RunOutcomeName(int status) {
    switch (status) {
        case kRunUpdated:
            return "updated";
        case kRunFailed:
            return "failed";
        case kRunRefused:
            return "refused";
        case kRunNoDevice:
            return "no_device";
        case kRunUnconfirmed:
            return "unconfirmed";
        default:
            return "status_" + std::to_string(status);
    }
}

std::string HistoryTimeNow() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    return Format("%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
}

std::string FormatHistoryLine(const HistoryRecord& r) {
    const Json object{{"time", r.time},
                      {"version", r.version},
                      {"front_end", r.frontEnd},
                      {"location", r.location},
                      {"product", r.product},
                      {"vid", Hex4(r.vid)},
                      {"pid", Hex4(r.pid)},
                      {"serial", r.serial},
                      {"forced", r.forced},
                      {"before", r.before},
                      {"after", r.after},
                      {"returned_version", r.returnedVersion},
                      {"outcome", r.outcome},
                      {"status", r.status},
                      {"duration_ms", r.durationMs},
                      {"simulated", r.simulated},
                      {"replayed", r.replayed}};
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

HistoryContents ParseHistory(std::string_view text) {
    HistoryContents contents;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (Trim(line).empty()) continue;
        const Json object = Json::parse(line, nullptr, false);
        if (object.is_discarded() || !object.is_object()) {
            contents.skipped.push_back(
                Format("line %llu is incomplete or damaged (a write cut off?); skipped",
                       static_cast<unsigned long long>(number)));
            continue;
        }
        HistoryEntry entry;
        entry.line = std::string(line);
        HistoryRecord& r = entry.record;
        std::string vid, pid;
        Read(object, "time", r.time);
        Read(object, "version", r.version);
        Read(object, "front_end", r.frontEnd);
        Read(object, "location", r.location);
        Read(object, "product", r.product);
        Read(object, "vid", vid);
        Read(object, "pid", pid);
        Read(object, "serial", r.serial);
        Read(object, "forced", r.forced);
        Read(object, "before", r.before);
        Read(object, "after", r.after);
        Read(object, "returned_version", r.returnedVersion);
        Read(object, "outcome", r.outcome);
        Read(object, "status", r.status);
        Read(object, "duration_ms", r.durationMs);
        Read(object, "simulated", r.simulated);
        Read(object, "replayed", r.replayed);
        r.vid = ParseHex4(vid);
        r.pid = ParseHex4(pid);
        contents.entries.push_back(std::move(entry));
    }
    return contents;
}

std::string HistoryTable(const std::vector<HistoryEntry>& entries) {
    std::vector<std::vector<std::string>> rows{
        {"Time", "Port", "Controller", "Serial", "Before", "After", "Outcome", "Duration"}};
    for (const HistoryEntry& entry : entries) {
        const HistoryRecord& r = entry.record;
        std::string outcome = OrDash(r.outcome);
        if (r.simulated) outcome += " (simulated)";
        if (r.replayed) outcome += " (replayed)";
        rows.push_back({OrDash(r.time), OrDash(r.location),
                        r.product + Format(" (%04X:%04X)", unsigned{r.vid}, unsigned{r.pid}),
                        OrDash(r.serial), OrDash(r.before),
                        OrDash(r.returnedVersion.empty() ? r.after : r.returnedVersion), outcome,
                        Format("%.1f s", static_cast<double>(r.durationMs) / 1000.0)});
    }
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
    std::string table;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - Width(row[c]) + 2, ' ');
        }
        table += line + '\n';
    }
    return table;
}

std::string HistoryFilePath(const std::string& directory) {
    if (directory.empty()) return {};
    std::string path = directory;
    if (path.back() != '/' && path.back() != kPathSeparator) path += kPathSeparator;
    return path + kHistoryFileName;
}

RunHistory::RunHistory(std::string directory, Context context,
                       std::function<void(const std::string&)> onFirstError)
    : directory_(std::move(directory)),
      path_(HistoryFilePath(directory_)),
      context_(std::move(context)),
      onFirstError_(std::move(onFirstError)) {}

std::string RunHistory::Append(HistoryRecord record) {
    record.version = context_.version;
    if (record.frontEnd.empty()) record.frontEnd = context_.frontEnd;
    record.simulated = context_.simulated;
    record.replayed = context_.replayed;
    const std::string line = FormatHistoryLine(record);

    std::lock_guard lock(mutex_);
    std::string error;
    if (directory_.empty()) {
        error = "no per-user state folder can be used";
    } else if (!EnsureDirectory(directory_)) {
        error = "the folder " + directory_ + " cannot be created";
    } else {
        error = System().AppendLineLocked(path_, line);
    }
    if (!error.empty() && !reported_) {
        reported_ = true;
        if (onFirstError_) {
            onFirstError_("the update history cannot be written" +
                          (path_.empty() ? std::string() : " to " + path_) + ": " + error);
        }
    }
    return error;
}

RunHistory* UpdateHistory() {
    return g_history.load();
}

void SetUpdateHistory(RunHistory* history) {
    g_history.store(history);
}

int PrintHistory(const std::string& directory, bool json, std::ostream& out, std::ostream& err,
                 const std::string& appName) {
    if (directory.empty()) {
        err << appName << ": no per-user state folder can be used, so no history is kept.\n";
        return kRunFailed;
    }
    const std::string path = HistoryFilePath(directory);
    std::string text;
    if (const std::string error = System().ReadFileLocked(path, text); !error.empty()) {
        err << appName << ": " << path << ": " << error << '\n';
        return kRunFailed;
    }
    const HistoryContents contents = ParseHistory(text);
    for (const std::string& skipped : contents.skipped)
        err << appName << ": " << path << ": " << skipped << '\n';
    if (json) {
        for (const HistoryEntry& entry : contents.entries) out << entry.line << '\n';
    } else if (contents.entries.empty()) {
        out << "No update has been recorded in " << path << ".\n";
    } else {
        out << HistoryTable(contents.entries);
    }
    out.flush();
    return 0;
}

}  // namespace fwu
