#include "trace/format.h"

#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

namespace fwu::trace {
namespace {

using nlohmann::json;

constexpr const char* kFormatName = "fwu-trace";
// A trace longer than this is not one of ours (a full run is a few MB).
constexpr std::uintmax_t kMaxTraceBytes = 512u * 1024u * 1024u;

struct KindEntry {
    OpKind kind;
    const char* name;
};
constexpr KindEntry kKinds[] = {
    {OpKind::Enumerate, "enumerate"},
    {OpKind::Open, "open"},
    {OpKind::Write, "write"},
    {OpKind::Read, "read"},
    {OpKind::String, "string"},
    {OpKind::Output, "output"},
    {OpKind::Attributes, "attributes"},
    {OpKind::ReportId, "report-id"},
    {OpKind::Arrival, "arrival"},
    {OpKind::Removal, "removal"},
    {OpKind::RumbleConnected, "rumble-connected"},
    {OpKind::RumbleSet, "rumble-set"},
};

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* StatusName(ReadStatus status) {
    switch (status) {
        case ReadStatus::Ok:
            return "ok";
        case ReadStatus::Timeout:
            return "timeout";
        case ReadStatus::Failed:
            return "failed";
    }
    return "failed";
}

// Field readers: false (and `error` set) when the field is missing or of the
// wrong type or range.
class Fields {
  public:
    Fields(const json& object, std::string& error) : object_(object), error_(error) {}

    template <typename T>
    bool Unsigned(const char* name, T& out) {
        const auto it = object_.find(name);
        if (it == object_.end() || !it->is_number_unsigned()) return Fail(name, "a number");
        const std::uint64_t value = it->get<std::uint64_t>();
        if (value > std::numeric_limits<T>::max()) return Fail(name, "a smaller number");
        out = static_cast<T>(value);
        return true;
    }
    bool Bool(const char* name, bool& out) {
        const auto it = object_.find(name);
        if (it == object_.end() || !it->is_boolean()) return Fail(name, "true or false");
        out = it->get<bool>();
        return true;
    }
    bool String(const char* name, std::string& out) {
        const auto it = object_.find(name);
        if (it == object_.end() || !it->is_string()) return Fail(name, "a string");
        out = it->get<std::string>();
        return true;
    }
    bool Bytes(const char* name, std::vector<std::uint8_t>& out) {
        std::string text;
        if (!String(name, text)) return false;
        if (text.size() % 2 != 0) return Fail(name, "hexadecimal bytes");
        out.clear();
        out.reserve(text.size() / 2);
        for (std::size_t i = 0; i < text.size(); i += 2) {
            const int hi = HexDigit(text[i]);
            const int lo = HexDigit(text[i + 1]);
            if (hi < 0 || lo < 0) return Fail(name, "hexadecimal bytes");
            out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
        return true;
    }
    bool Paths(const char* name, std::vector<std::string>& out) {
        const auto it = object_.find(name);
        if (it == object_.end() || !it->is_array()) return Fail(name, "a list of paths");
        for (const json& p : *it) {
            if (!p.is_string()) return Fail(name, "a list of paths");
            out.push_back(p.get<std::string>());
        }
        return true;
    }
    // The error number of a failed call (optional, 0 when absent).
    bool OptionalError(std::uint32_t& out) {
        if (object_.find("error") == object_.end()) return true;
        return Unsigned("error", out);
    }

  private:
    bool Fail(const char* name, const char* what) {
        error_ = std::string("\"") + name + "\" must be " + what;
        return false;
    }
    const json& object_;
    std::string& error_;
};

bool ParseOp(const json& object, Op& op, std::string& error) {
    if (!object.is_object()) {
        error = "not a JSON object";
        return false;
    }
    Fields f(object, error);
    std::string kind;
    if (!f.Unsigned("n", op.n) || !f.Unsigned("t", op.t) || !f.String("op", kind)) return false;
    bool known = false;
    for (const KindEntry& k : kKinds) {
        if (kind == k.name) {
            op.kind = k.kind;
            known = true;
        }
    }
    if (!known) {
        error = "unknown operation \"" + kind + "\"";
        return false;
    }
    if (!IsEvent(op.kind) && !f.Unsigned("us", op.us)) return false;
    switch (op.kind) {
        case OpKind::Enumerate:
            return f.Paths("paths", op.paths);
        case OpKind::Open:
            return f.String("path", op.path) && f.Unsigned("dev", op.dev);
        case OpKind::Write:
        case OpKind::Output:
            return f.Unsigned("dev", op.dev) && f.Bytes("data", op.data) && f.Bool("ok", op.ok) &&
                   f.OptionalError(op.error);
        case OpKind::Read: {
            std::string status;
            if (!f.Unsigned("dev", op.dev) || !f.Unsigned("length", op.length) ||
                !f.Unsigned("timeout", op.timeout) || !f.String("status", status) ||
                !f.OptionalError(op.error))
                return false;
            if (status == "ok") {
                op.status = ReadStatus::Ok;
                if (!f.Bytes("data", op.data)) return false;
                if (op.data.size() != op.length) {
                    error = "\"data\" must hold \"length\" bytes";
                    return false;
                }
            } else if (status == "timeout") {
                op.status = ReadStatus::Timeout;
            } else if (status == "failed") {
                op.status = ReadStatus::Failed;
            } else {
                error = "\"status\" must be ok, timeout or failed";
                return false;
            }
            return true;
        }
        case OpKind::String:
            if (!f.Unsigned("dev", op.dev) || !f.Unsigned("index", op.index) ||
                !f.Unsigned("length", op.length) || !f.Bool("ok", op.ok) ||
                !f.OptionalError(op.error))
                return false;
            if (op.ok && !f.Bytes("data", op.data)) return false;
            if (op.data.size() > op.length) {
                error = "\"data\" must not be longer than \"length\"";
                return false;
            }
            return true;
        case OpKind::Attributes:
            if (!f.Unsigned("dev", op.dev) || !f.Bool("ok", op.ok)) return false;
            return !op.ok || (f.Unsigned("vid", op.vid) && f.Unsigned("pid", op.pid));
        case OpKind::ReportId:
            return f.Unsigned("dev", op.dev) && f.Unsigned("id", op.id);
        case OpKind::Arrival:
        case OpKind::Removal:
            if (object.find("during") != object.end() && !f.Bool("during", op.during)) return false;
            return f.String("path", op.path);
        case OpKind::RumbleConnected:
            return f.Unsigned("user", op.user) && f.Bool("connected", op.connected);
        case OpKind::RumbleSet:
            return f.Unsigned("user", op.user) && f.Unsigned("left", op.left) &&
                   f.Unsigned("right", op.right) && f.Bool("ok", op.ok);
    }
    return false;
}

std::string DescribeBytes(const std::vector<std::uint8_t>& bytes) {
    std::size_t used = bytes.size();
    while (used > 0 && bytes[used - 1] == 0) --used;
    std::string text;
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < used; ++i) {
        if (i > 0) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    const std::size_t zeros = bytes.size() - used;
    if (zeros > 0) {
        if (!text.empty()) text += ", then ";
        text += std::to_string(zeros) + (zeros == 1 ? " zero byte" : " zero bytes");
    }
    return text;
}

}  // namespace

std::string HeaderLine() {
    return std::string("{\"format\":\"") + kFormatName +
           "\",\"version\":" + std::to_string(kFormatVersion) + "}\n";
}

const char* KindName(OpKind kind) {
    for (const KindEntry& k : kKinds)
        if (k.kind == kind) return k.name;
    return "?";
}

bool IsEvent(OpKind kind) {
    return kind == OpKind::Arrival || kind == OpKind::Removal;
}

std::string FormatOp(const Op& op) {
    nlohmann::ordered_json j;
    j["n"] = op.n;
    j["t"] = op.t;
    if (!IsEvent(op.kind)) j["us"] = op.us;
    j["op"] = KindName(op.kind);
    switch (op.kind) {
        case OpKind::Enumerate:
            j["paths"] = op.paths;
            break;
        case OpKind::Open:
            j["path"] = op.path;
            j["dev"] = op.dev;
            break;
        case OpKind::Write:
        case OpKind::Output:
            j["dev"] = op.dev;
            j["data"] = Hex(op.data);
            j["ok"] = op.ok;
            if (!op.ok) j["error"] = op.error;
            break;
        case OpKind::Read:
            j["dev"] = op.dev;
            j["length"] = op.length;
            j["timeout"] = op.timeout;
            j["status"] = StatusName(op.status);
            if (op.status == ReadStatus::Ok) j["data"] = Hex(op.data);
            if (op.status == ReadStatus::Failed) j["error"] = op.error;
            break;
        case OpKind::String:
            j["dev"] = op.dev;
            j["index"] = op.index;
            j["length"] = op.length;
            j["ok"] = op.ok;
            if (op.ok) j["data"] = Hex(op.data);
            if (!op.ok) j["error"] = op.error;
            break;
        case OpKind::Attributes:
            j["dev"] = op.dev;
            j["ok"] = op.ok;
            if (op.ok) {
                j["vid"] = op.vid;
                j["pid"] = op.pid;
            }
            break;
        case OpKind::ReportId:
            j["dev"] = op.dev;
            j["id"] = op.id;
            break;
        case OpKind::Arrival:
        case OpKind::Removal:
            j["path"] = op.path;
            if (op.during) j["during"] = true;
            break;
        case OpKind::RumbleConnected:
            j["user"] = op.user;
            j["connected"] = op.connected;
            break;
        case OpKind::RumbleSet:
            j["user"] = op.user;
            j["left"] = op.left;
            j["right"] = op.right;
            j["ok"] = op.ok;
            break;
    }
    // Paths come from the system; never let a stray byte stop the line.
    std::string line = j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    line += '\n';
    return line;
}

std::string DescribeRequest(const Op& op) {
    const std::string dev = " on device " + std::to_string(op.dev);
    switch (op.kind) {
        case OpKind::Enumerate:
            return "enumerate";
        case OpKind::Open:
            return "open " + op.path;
        case OpKind::Write:
            return "write" + dev + ": " + DescribeBytes(op.data);
        case OpKind::Output:
            return "output report" + dev + " (" + std::to_string(op.data.size()) +
                   " bytes): " + DescribeBytes(op.data);
        case OpKind::Read:
            return "read" + dev + " of " + std::to_string(op.length) + " bytes, waiting " +
                   std::to_string(op.timeout) + " ms";
        case OpKind::String:
            return "string descriptor " + std::to_string(op.index) + dev + ", " +
                   std::to_string(op.length) + " bytes";
        case OpKind::Attributes:
            return "attributes" + dev;
        case OpKind::ReportId:
            return "report ID" + dev;
        case OpKind::Arrival:
            return "arrival of " + op.path;
        case OpKind::Removal:
            return "removal of " + op.path;
        case OpKind::RumbleConnected:
            return "rumble: is user " + std::to_string(op.user) + " connected";
        case OpKind::RumbleSet:
            return "rumble: user " + std::to_string(op.user) + " motors " +
                   std::to_string(op.left) + ", " + std::to_string(op.right);
    }
    return "?";
}

bool SameRequest(const Op& a, const Op& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case OpKind::Enumerate:
            return true;
        case OpKind::Open:
        case OpKind::Arrival:
        case OpKind::Removal:
            return a.path == b.path;
        case OpKind::Write:
        case OpKind::Output:
            return a.dev == b.dev && a.data == b.data;
        case OpKind::Read:
            return a.dev == b.dev && a.length == b.length && a.timeout == b.timeout;
        case OpKind::String:
            return a.dev == b.dev && a.index == b.index && a.length == b.length;
        case OpKind::Attributes:
        case OpKind::ReportId:
            return a.dev == b.dev;
        case OpKind::RumbleConnected:
            return a.user == b.user;
        case OpKind::RumbleSet:
            return a.user == b.user && a.left == b.left && a.right == b.right;
    }
    return false;
}

std::optional<Trace> ParseTrace(const std::string& text, std::string& error) {
    Trace trace;
    std::size_t start = 0;
    std::size_t lineNumber = 0;
    bool header = false;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        ++lineNumber;
        if (end == std::string::npos) {
            error = "line " + std::to_string(lineNumber) +
                    ": the trace is cut off (the last line has no line feed)";
            return std::nullopt;
        }
        std::string_view line(text.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = end + 1;
        if (line.empty()) continue;
        const json object = json::parse(line, nullptr, false);
        const std::string at = "line " + std::to_string(lineNumber) + ": ";
        if (object.is_discarded()) {
            error = at + "not valid JSON";
            return std::nullopt;
        }
        if (!header) {
            const auto format = object.find("format");
            const auto version = object.find("version");
            if (!object.is_object() || format == object.end() || *format != kFormatName) {
                error = at + "not a FirmwareUpgrade trace (no \"format\":\"fwu-trace\" header)";
                return std::nullopt;
            }
            if (version == object.end() || !version->is_number_unsigned() ||
                version->get<std::uint64_t>() != kFormatVersion) {
                error = at + "trace format version not supported (this program reads version " +
                        std::to_string(kFormatVersion) + ")";
                return std::nullopt;
            }
            header = true;
            continue;
        }
        Op op;
        std::string why;
        if (!ParseOp(object, op, why)) {
            error = at + why;
            return std::nullopt;
        }
        if (op.n != trace.ops.size() + 1) {
            error = at + "operation " + std::to_string(op.n) + " where " +
                    std::to_string(trace.ops.size() + 1) + " was expected";
            return std::nullopt;
        }
        trace.ops.push_back(std::move(op));
    }
    if (!header) {
        error = "the trace is empty";
        return std::nullopt;
    }
    return trace;
}

std::optional<Trace> LoadTrace(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the trace " + path;
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxTraceBytes) {
            error = "the trace " + path + " is too large";
            return std::nullopt;
        }
    }
    if (in.bad()) {
        error = "cannot read the trace " + path;
        return std::nullopt;
    }
    std::string why;
    std::optional<Trace> trace = ParseTrace(text, why);
    if (!trace) error = "the trace " + path + " is damaged: " + why;
    return trace;
}

}  // namespace fwu::trace
