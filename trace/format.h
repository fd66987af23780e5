// Run traces: every operation the tool performs on the HID layer, the hot-plug
// source and the rumble service, one JSON object per line.
//
// The first line names the format and its version and, from version 2 on,
// the choices of the run that change what the tool asks of a controller (the
// front end, --update, --force); a replay must make the same ones:
//   {"format":"fwu-trace","version":2,"frontend":"console","update":true,"force":false}
// Version 1 traces (no choices) are still read.
// Every further line is one operation, numbered from 1 in the order the
// operations completed, with "t" the microseconds since recording started
// (monotonic clock) and, for calls, "us" the microseconds the call took:
//   {"n":1,"t":52,"us":40,"op":"enumerate","paths":["..."],"locations":["1-2"]}
//   {"n":2,"t":60,"us":8,"op":"open","path":"...","location":"1-2","dev":1}   dev 0: failed
//   {"op":"write","dev":1,"data":"00a5e1...","ok":true}      (+ "error" when not ok)
//   {"op":"read","dev":1,"length":65,"timeout":50,"status":"ok","data":"00..."}
//                             status "ok", "timeout" or "failed" (+ "error")
//   {"op":"string","dev":1,"index":255,"length":64,"ok":true,"data":"..."}
//   {"op":"output","dev":1,"data":"...","ok":true}            output report, its length
//   {"op":"attributes","dev":1,"ok":true,"vid":14940,"pid":8000}
//   {"op":"report-id","dev":1,"id":0}
//   {"op":"drop","dev":1}      input reports still queued are discarded
//   {"op":"arrival","path":"..."}   {"op":"removal","path":"..."}
//                             + "location" as for open; + "during":true when it came while a call
//                             of the tool on the same thread ran (the next call of that thread in
//                             the trace): the call caused it
//   {"op":"rumble-connected","user":0,"connected":true}
//   {"op":"rumble-set","user":0,"left":256,"right":65024,"ok":true}
//   {"op":"rumble-device","path":"...","connected":true,"user":0}
//                             the game controller of the HID interface "path"
//                             (Linux); "connected":false: it has none. Not in
//                             a trace of a platform without that link.
// "location" is where the controller is plugged in (IHidBackend::Location),
// left out when there is none; "locations" gives one for each of "paths",
// left out when none of them has one. Byte strings are lower-case
// hexadecimal. Devices are numbered 1, 2, ... in the order they were opened
// successfully. Members a reader does not know are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace fwu::trace {

inline constexpr int kFormatVersion = 2;

// What a trace may hold. A whole run is a few thousand operations and well
// under 1 MB, its longest line under 1 KB; the limits leave ample room and
// keep a trace from outside to well under 1 GB in memory.
inline constexpr std::uint64_t kMaxTraceBytes = 64u * 1024u * 1024u;
inline constexpr std::size_t kMaxLineBytes = 64u * 1024u;
inline constexpr std::size_t kMaxOps = 1000000;
inline constexpr std::size_t kMaxPaths = 1000000;  // all enumerations together
// Recorded times ("t", microseconds since the start) stay within a day.
inline constexpr std::uint64_t kMaxTraceUs = 24ull * 3600ull * 1000000ull;

enum class OpKind {
    Enumerate,
    Open,
    Write,
    Read,
    String,
    Output,
    Attributes,
    ReportId,
    Drop,
    Arrival,
    Removal,
    RumbleConnected,
    RumbleSet,
    RumbleDevice,
};

struct Op {
    std::uint64_t n = 0;   // operation number, from 1
    std::uint64_t t = 0;   // microseconds since the start, at completion
    std::uint64_t us = 0;  // duration of the call
    OpKind kind = OpKind::Enumerate;
    int dev = 0;                     // device number (0: none / open failed)
    std::vector<std::string> paths;  // enumerate
    std::string path;                // open, arrival, removal, rumble-device
    std::string location;            // open, arrival, removal: of `path`, "" none
    // enumerate: the location of each of `paths`; empty when none has one
    std::vector<std::string> locations;
    std::vector<std::uint8_t> data;  // write/output: sent; read/string: returned
    std::size_t length = 0;          // read, string: requested length
    std::uint32_t timeout = 0;       // read
    std::uint8_t index = 0;          // string
    bool ok = false;                 // write, string, output, attributes, rumble-set
    ReadStatus status = ReadStatus::Ok;
    std::uint32_t error = 0;         // failed calls: the error number
    std::uint16_t vid = 0, pid = 0;  // attributes
    std::uint8_t id = 0;             // report-id
    unsigned user = 0;               // rumble; rumble-device when connected
    std::uint16_t left = 0, right = 0;
    bool connected = false;
    bool during = false;  // arrival, removal: came inside the tool's next call
};

// The choices of a run that change the tool's requests.
struct RunChoices {
    bool window = false;  // the window front end (else the console)
    bool update = false;  // --update
    bool force = false;   // --force
    bool operator==(const RunChoices&) const = default;
};

// The first line of every trace.
std::string HeaderLine(const RunChoices& choices);
// One operation as a line (with its line feed).
std::string FormatOp(const Op& op);
// An event (arrival, removal) is something the controller did; every other
// operation is a request of the tool.
bool IsEvent(OpKind kind);
const char* KindName(OpKind kind);

// What the tool asked, for messages: the request part of an operation only
// ("write on device 2: 00 a5 e2 5a 1d ab, then 59 zero bytes").
std::string DescribeRequest(const Op& op);
// True when two operations are the same request (answers not compared).
bool SameRequest(const Op& recorded, const Op& asked);

struct Trace {
    std::optional<RunChoices> choices;  // none in a version 1 trace
    std::vector<Op> ops;
};

// Parses a whole trace one line at a time, within the limits above, and with
// recorded times that never go back; on failure returns nullopt and sets
// `error` to a message naming the line ("line 12: ...").
std::optional<Trace> ParseTrace(std::istream& in, std::string& error);
std::optional<Trace> ParseTrace(const std::string& text, std::string& error);
// Reads and parses FILE; `error` names the file.
std::optional<Trace> LoadTrace(const std::string& path, std::string& error);

}  // namespace fwu::trace
