#include "trace/format.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

namespace fwu::trace {
namespace {

using nlohmann::json;

constexpr const char* kFormatName = "fwu-trace";

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
    {OpKind::Drop, "drop"},
    {OpKind::Arrival, "arrival"},
    {OpKind::Removal, "removal"},
    {OpKind::RumbleConnected, "rumble-connected"},
    {OpKind::RumbleSet, "rumble-set"},
    {OpKind::RumbleDevice, "rumble-device"},
};

void AppendHex(std::string& out, const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    const std::size_t at = out.size();
    out.resize(at + bytes.size() * 2);
    char* p = out.data() + at;
    for (std::uint8_t b : bytes) {
        *p++ = digits[b >> 4];
        *p++ = digits[b & 0x0F];
    }
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
        out.reserve(it->size());
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
    // "location" of open, arrival and removal lines ("" when absent).
    const auto location = [&] {
        return object.find("location") == object.end() || f.String("location", op.location);
    };
    switch (op.kind) {
        case OpKind::Enumerate:
            if (!f.Paths("paths", op.paths)) return false;
            if (object.find("locations") == object.end()) return true;
            if (!f.Paths("locations", op.locations)) return false;
            if (op.locations.size() != op.paths.size()) {
                error = "\"locations\" must hold one location for each path";
                return false;
            }
            return true;
        case OpKind::Open:
            return f.String("path", op.path) && f.Unsigned("dev", op.dev) && location();
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
        case OpKind::Drop:
            return f.Unsigned("dev", op.dev);
        case OpKind::Arrival:
        case OpKind::Removal:
            if (object.find("during") != object.end() && !f.Bool("during", op.during)) return false;
            return f.String("path", op.path) && location();
        case OpKind::RumbleConnected:
            return f.Unsigned("user", op.user) && f.Bool("connected", op.connected);
        case OpKind::RumbleSet:
            return f.Unsigned("user", op.user) && f.Unsigned("left", op.left) &&
                   f.Unsigned("right", op.right) && f.Bool("ok", op.ok);
        case OpKind::RumbleDevice:
            if (!f.String("path", op.path) || !f.Bool("connected", op.connected)) return false;
            return !op.connected || f.Unsigned("user", op.user);
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

std::string HeaderLine(const RunChoices& choices) {
    auto flag = [](bool on) { return on ? "true" : "false"; };
    return std::string("{\"format\":\"") + kFormatName +
           "\",\"version\":" + std::to_string(kFormatVersion) + ",\"frontend\":\"" +
           (choices.window ? "window" : "console") + "\",\"update\":" + flag(choices.update) +
           ",\"force\":" + flag(choices.force) + "}\n";
}

const char* KindName(OpKind kind) {
    for (const KindEntry& k : kKinds)
        if (k.kind == kind) return k.name;
    return "?";
}

bool IsEvent(OpKind kind) {
    return kind == OpKind::Arrival || kind == OpKind::Removal;
}

namespace {

// Lines are built by hand rather than through the JSON library: recording
// sits on every transfer, and this is several times faster.
class LineBuilder {
  public:
    explicit LineBuilder(std::string& out) : out_(out) { out_ += '{'; }
    void Number(const char* key, std::uint64_t value) {
        Key(key);
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, value);
        out_.append(digits, result.ptr);
    }
    void Bool(const char* key, bool value) {
        Key(key);
        out_ += value ? "true" : "false";
    }
    void Text(const char* key, std::string_view value) {
        Key(key);
        Quoted(value);
    }
    void Bytes(const char* key, const std::vector<std::uint8_t>& value) {
        Key(key);
        out_ += '"';
        AppendHex(out_, value);
        out_ += '"';
    }
    void Texts(const char* key, const std::vector<std::string>& values) {
        Key(key);
        out_ += '[';
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i > 0) out_ += ',';
            Quoted(values[i]);
        }
        out_ += ']';
    }
    void End() { out_ += "}\n"; }

  private:
    void Key(const char* key) {
        if (out_.size() > 1) out_ += ',';
        out_ += '"';
        out_ += key;
        out_ += "\":";
    }
    // A JSON string; bytes that are not UTF-8 become U+FFFD.
    void Quoted(std::string_view text) {
        static const char digits[] = "0123456789abcdef";
        out_ += '"';
        for (std::size_t i = 0; i < text.size();) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += static_cast<char>(c);
                ++i;
            } else if (c < 0x20) {
                out_ += "\\u00";
                out_ += digits[c >> 4];
                out_ += digits[c & 0x0F];
                ++i;
            } else if (c < 0x80) {
                out_ += static_cast<char>(c);
                ++i;
            } else {
                const std::size_t n = Utf8Length(text, i);
                if (n == 0) {
                    out_ += "\\ufffd";
                    ++i;
                } else {
                    out_.append(text.substr(i, n));
                    i += n;
                }
            }
        }
        out_ += '"';
    }
    // Length of the well-formed UTF-8 sequence at `i`, 0 when there is none.
    static std::size_t Utf8Length(std::string_view text, std::size_t i) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t n = 0;
        std::uint32_t min = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
            min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            min = 0x10000;
        } else {
            return 0;
        }
        if (i + n > text.size()) return 0;
        std::uint32_t code = c & (0xFFu >> (n + 1));
        for (std::size_t k = 1; k < n; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0) != 0x80) return 0;
            code = code << 6 | (b & 0x3Fu);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
        return n;
    }

    std::string& out_;
};

}  // namespace

std::string FormatOp(const Op& op) {
    std::string line;
    line.reserve(96 + 2 * op.data.size());
    LineBuilder j(line);
    j.Number("n", op.n);
    j.Number("t", op.t);
    if (!IsEvent(op.kind)) j.Number("us", op.us);
    j.Text("op", KindName(op.kind));
    switch (op.kind) {
        case OpKind::Enumerate:
            j.Texts("paths", op.paths);
            if (std::any_of(op.locations.begin(), op.locations.end(),
                            [](const std::string& l) { return !l.empty(); }))
                j.Texts("locations", op.locations);
            break;
        case OpKind::Open:
            j.Text("path", op.path);
            if (!op.location.empty()) j.Text("location", op.location);
            j.Number("dev", static_cast<std::uint64_t>(op.dev));
            break;
        case OpKind::Write:
        case OpKind::Output:
            j.Number("dev", static_cast<std::uint64_t>(op.dev));
            j.Bytes("data", op.data);
            j.Bool("ok", op.ok);
            if (!op.ok) j.Number("error", op.error);
            break;
        case OpKind::Read:
            j.Number("dev", static_cast<std::uint64_t>(op.dev));
            j.Number("length", op.length);
            j.Number("timeout", op.timeout);
            j.Text("status", StatusName(op.status));
            if (op.status == ReadStatus::Ok) j.Bytes("data", op.data);
            if (op.status == ReadStatus::Failed) j.Number("error", op.error);
            break;
        case OpKind::String:
            j.Number("dev", static_cast<std::uint64_t>(op.dev));
            j.Number("index", op.index);
            j.Number("length", op.length);
            j.Bool("ok", op.ok);
            if (op.ok) j.Bytes("data", op.data);
            if (!op.ok) j.Number("error", op.error);
            break;
        case OpKind::Attributes:
            j.Number("dev", static_cast<std::uint64_t>(op.dev));
            j.Bool("ok", op.ok);
            if (op.ok) {
                j.Number("vid", op.vid);
                j.Number("pid", op.pid);
            }
            break;
        case OpKind::ReportId:
            j.Number("dev", static_cast<std::uint64_t>(op.dev));
            j.Number("id", op.id);
            break;
        case OpKind::Drop:
            j.Number("dev", static_cast<std::uint64_t>(op.dev));
            break;
        case OpKind::Arrival:
        case OpKind::Removal:
            j.Text("path", op.path);
            if (!op.location.empty()) j.Text("location", op.location);
            if (op.during) j.Bool("during", true);
            break;
        case OpKind::RumbleConnected:
            j.Number("user", op.user);
            j.Bool("connected", op.connected);
            break;
        case OpKind::RumbleSet:
            j.Number("user", op.user);
            j.Number("left", op.left);
            j.Number("right", op.right);
            j.Bool("ok", op.ok);
            break;
        case OpKind::RumbleDevice:
            j.Text("path", op.path);
            j.Bool("connected", op.connected);
            if (op.connected) j.Number("user", op.user);
            break;
    }
    j.End();
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
        case OpKind::Drop:
            return "drop queued input" + dev;
        case OpKind::Arrival:
            return "arrival of " + op.path;
        case OpKind::Removal:
            return "removal of " + op.path;
        case OpKind::RumbleConnected:
            return "rumble: is user " + std::to_string(op.user) + " connected";
        case OpKind::RumbleSet:
            return "rumble: user " + std::to_string(op.user) + " motors " +
                   std::to_string(op.left) + ", " + std::to_string(op.right);
        case OpKind::RumbleDevice:
            return "rumble: the game controller of " + op.path;
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
        case OpKind::Drop:
            return a.dev == b.dev;
        case OpKind::RumbleConnected:
            return a.user == b.user;
        case OpKind::RumbleSet:
            return a.user == b.user && a.left == b.left && a.right == b.right;
        case OpKind::RumbleDevice:
            return a.path == b.path;
    }
    return false;
}

namespace {

// The header line: the format, its version and, from version 2 on, the run's
// choices.
bool ParseHeader(const json& object, Trace& trace, std::string& error) {
    const auto format = object.is_object() ? object.find("format") : object.end();
    if (!object.is_object() || format == object.end() || *format != kFormatName) {
        error = "not a FirmwareUpgrade trace (no \"format\":\"fwu-trace\" header)";
        return false;
    }
    const auto version = object.find("version");
    const std::uint64_t number = version != object.end() && version->is_number_unsigned()
                                     ? version->get<std::uint64_t>()
                                     : 0;
    if (number == 1) return true;
    if (number != 2) {
        error = "trace format version not supported (this program reads versions 1 to " +
                std::to_string(kFormatVersion) + ")";
        return false;
    }
    Fields f(object, error);
    std::string frontEnd;
    RunChoices choices;
    if (!f.String("frontend", frontEnd) || !f.Bool("update", choices.update) ||
        !f.Bool("force", choices.force))
        return false;
    if (frontEnd != "console" && frontEnd != "window") {
        error = "\"frontend\" must be console or window";
        return false;
    }
    choices.window = frontEnd == "window";
    trace.choices = choices;
    return true;
}

// What an operation must satisfy beside its own fields, given the ones before.
bool CheckInSequence(const Trace& trace, const Op& op, std::size_t paths, std::string& error) {
    const std::size_t expected = trace.ops.size() + 1;
    if (op.n != expected) {
        error = "operation " + std::to_string(op.n) + " where " + std::to_string(expected) +
                " was expected";
    } else if (expected > kMaxOps) {
        error = "more than " + std::to_string(kMaxOps) +
                " operations (a whole run holds a few thousand)";
    } else if (paths > kMaxPaths) {
        error = "more than " + std::to_string(kMaxPaths) + " paths in the enumerations";
    } else if (op.t > kMaxTraceUs) {
        error = "\"t\" is " + std::to_string(op.t) + " microseconds, more than a day (" +
                std::to_string(kMaxTraceUs) + ") after the start";
    } else if (!trace.ops.empty() && op.t < trace.ops.back().t) {
        error = "\"t\" goes back in time (" + std::to_string(op.t) + " after " +
                std::to_string(trace.ops.back().t) + ")";
    } else if (op.us > op.t) {
        error = "\"us\" is longer than \"t\" (the call would have begun before the start)";
    } else {
        return true;
    }
    return false;
}

}  // namespace

std::optional<Trace> ParseTrace(std::istream& in, std::string& error) {
    Trace trace;
    std::size_t lineNumber = 0;
    std::uint64_t bytes = 0;
    std::size_t paths = 0;
    bool header = false;
    // One line at a time, never more than the longest line allowed (and a
    // carriage return) in memory.
    std::vector<char> buffer(kMaxLineBytes + 2);
    for (;;) {
        in.getline(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (in.bad()) {
            error = "line " + std::to_string(lineNumber + 1) + ": reading failed";
            return std::nullopt;
        }
        if (got == 0 && in.eof()) break;
        ++lineNumber;
        bytes += got;
        const std::string at = "line " + std::to_string(lineNumber) + ": ";
        const bool full = in.fail() && !in.eof();  // the buffer filled up before a line feed
        std::string_view line(buffer.data(), in.eof() || full ? got : got - 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (full || line.size() > kMaxLineBytes) {
            error = at + "longer than " + std::to_string(kMaxLineBytes) +
                    " bytes (a line of a trace is under 1 KB)";
            return std::nullopt;
        }
        if (in.eof()) {
            error = at + "the trace is cut off (the last line has no line feed)";
            return std::nullopt;
        }
        if (bytes > kMaxTraceBytes) {
            error = at + "the trace goes on past " + std::to_string(kMaxTraceBytes >> 20) +
                    " MB (a whole run takes well under 1 MB)";
            return std::nullopt;
        }
        if (line.empty()) continue;
        const json object = json::parse(line, nullptr, false);
        if (object.is_discarded()) {
            error = at + "not valid JSON";
            return std::nullopt;
        }
        std::string why;
        if (!header) {
            if (!ParseHeader(object, trace, why)) {
                error = at + why;
                return std::nullopt;
            }
            header = true;
            continue;
        }
        Op op;
        if (!ParseOp(object, op, why)) {
            error = at + why;
            return std::nullopt;
        }
        paths += op.paths.size();
        if (!CheckInSequence(trace, op, paths, why)) {
            error = at + why;
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

std::optional<Trace> ParseTrace(const std::string& text, std::string& error) {
    std::istringstream in(text);
    return ParseTrace(in, error);
}

std::optional<Trace> LoadTrace(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the trace " + path;
        return std::nullopt;
    }
    // Refused before a byte is parsed when the size is known; otherwise the
    // parser counts.
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size > static_cast<std::streamoff>(kMaxTraceBytes)) {
        error = "the trace " + path + " is larger than " + std::to_string(kMaxTraceBytes >> 20) +
                " MB (a whole run takes well under 1 MB)";
        return std::nullopt;
    }
    in.clear();
    in.seekg(0, std::ios::beg);
    std::string why;
    std::optional<Trace> trace = ParseTrace(in, why);
    if (!trace) error = "the trace " + path + " is damaged: " + why;
    return trace;
}

}  // namespace fwu::trace
