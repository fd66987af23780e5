// Injectable faults of the simulated controller and their text form, as given
// to --simulate-fault=NAME[@N].
#include <algorithm>
#include <charconv>

#include "sim/sim.h"

namespace fwu::sim {
namespace {

struct FaultInfo {
    FaultKind kind;
    const char* name;
    bool counted;       // takes @N
    std::uint32_t min;  // smallest N
    const char* help;
};

constexpr FaultInfo kFaults[] = {
    {FaultKind::WriteFail, "write-fail", true, 1, "a write fails at report transfer N"},
    {FaultKind::ReadFail, "read-fail", true, 1, "a read fails at report transfer N"},
    {FaultKind::Remove, "remove", true, 1, "the controller is unplugged at report transfer N"},
    {FaultKind::BadChecksum, "bad-checksum", true, 0,
     "a wrong checksum is answered for page P (0-based, within the IC)"},
    {FaultKind::NoAnswer, "no-answer", true, 1, "from report transfer N on, nothing is answered"},
    {FaultKind::NeverReturn, "never-return", false, 0,
     "after a restart request the controller never comes back"},
    {FaultKind::WrongId, "wrong-id", false, 0, "the bootloader reports another update identifier"},
    {FaultKind::NoStrings, "no-strings", false, 0, "string descriptors cannot be read"},
};

const FaultInfo* Info(FaultKind kind) {
    for (const FaultInfo& f : kFaults)
        if (f.kind == kind) return &f;
    return nullptr;
}

}  // namespace

std::optional<Fault> ParseFault(std::string_view text) {
    const std::size_t at = text.find('@');
    const std::string_view name = text.substr(0, at);
    for (const FaultInfo& f : kFaults) {
        if (name != f.name) continue;
        if (!f.counted) {
            if (at != std::string_view::npos) return std::nullopt;
            return Fault{f.kind, 0};
        }
        if (at == std::string_view::npos) return std::nullopt;
        const std::string_view digits = text.substr(at + 1);
        std::uint32_t n = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
            n < f.min)
            return std::nullopt;
        return Fault{f.kind, n};
    }
    return std::nullopt;
}

std::string FaultHelp() {
    std::string out;
    for (const FaultInfo& f : kFaults) {
        std::string name = f.name;
        if (f.counted) name += f.kind == FaultKind::BadChecksum ? "@P" : "@N";
        name.resize(std::max<std::size_t>(name.size() + 2, 18), ' ');
        out += "  " + name + f.help + "\n";
    }
    return out;
}

std::string FaultName(const Fault& fault) {
    const FaultInfo* f = Info(fault.kind);
    if (!f) return "?";
    std::string out = f->name;
    if (f->counted) {
        out += '@';
        out += std::to_string(fault.n);
    }
    return out;
}

}  // namespace fwu::sim
