// fwu-simusb: the simulated controllers as real USB devices. Plugs each into a
// port of the kernel's virtual host controller (vhci-hcd) over a local socket
// pair and serves them until SIGTERM or SIGINT, re-plugging each into its own
// port whenever it re-enumerates.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/options.h"
#include "frontends/services.h"
#include "package/package.h"
#include "platform/platform.h"
#include "sim/sim.h"
#include "tools/simusb/server.h"

namespace fwu::usbip {
namespace {

int g_stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t w = ::write(g_stopPipe[1], &byte, 1);
}

struct Args {
    Options sim;  // --simulate, --simulate-protocol, --simulate-fault, -count, -unit
    std::uint8_t reportId = 0;
    bool interruptOut = true;
    std::string entry = "all";
    std::string traceFile;
    std::string resultFile;
    std::string readyFile;
    std::string vhciDir = "/sys/devices/platform/vhci_hcd.0";
    bool help = false;
    std::string error;
};

const char kUsage[] =
    "Usage: fwu-simusb [options]\n"
    "Presents simulated game controllers as USB devices through vhci-hcd (as root)\n"
    "and serves them until SIGTERM or SIGINT. Each is plugged into a port of its own\n"
    "and comes back to that port every time it re-enumerates.\n\n"
    "  --simulate=MODE            normal (default), bootloader or current\n"
    "  --simulate-protocol=V      bootloader protocol generation, 1.0 or 2.0 (default)\n"
    "  --simulate-fault=NAME[@N]  inject a fault (repeatable; see below)\n"
    "  --simulate-count=N         serve N controllers (1 to 8, default 1); the settings\n"
    "                             above and below apply to each\n"
    "  --simulate-unit=K:SETTING  controller K (from 0) only: its own MODE, its own\n"
    "                             protocol=V, or a fault NAME[@N] of its own (repeatable)\n"
    "  --report-id=N              report ID of the HID reports (0: none, default)\n"
    "  --no-interrupt-out         no interrupt OUT endpoint: output reports use SET_REPORT\n"
    "  --entry=FORMS              bootloader requests the normal firmware honours: all\n"
    "                             (default), strings (string 254/255 reads) or switch\n"
    "                             (the switch report)\n"
    "  --trace FILE               one line per transfer\n"
    "  --result FILE              written on exit: mode, flash, image state, re-enumerations,\n"
    "                             port; with several controllers one file for each,\n"
    "                             FILE.0, FILE.1, ...\n"
    "  --ready FILE               touched once every controller is first plugged in\n"
    "  --vhci DIR                 vhci-hcd sysfs directory (default\n"
    "                             /sys/devices/platform/vhci_hcd.0)\n";

// "--name=value" or "--name value".
bool Value(std::string_view arg, std::string_view name, int argc, char** argv, int& i,
           std::string& value) {
    if (arg == name) {
        if (i + 1 >= argc) return false;
        value = argv[++i];
        return true;
    }
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
        value = std::string(arg.substr(name.size() + 1));
        return true;
    }
    return false;
}

Args Parse(int argc, char** argv) {
    Args a;
    a.sim.simulate = SimStart::Normal;
    for (int i = 1; i < argc && a.error.empty(); ++i) {
        const std::string_view arg = argv[i];
        std::string v;
        if (arg == "--help" || arg == "-h") {
            a.help = true;
        } else if (arg == "--no-interrupt-out") {
            a.interruptOut = false;
        } else if (Value(arg, "--simulate", argc, argv, i, v)) {
            if (v == "normal") {
                a.sim.simulate = SimStart::Normal;
            } else if (v == "bootloader") {
                a.sim.simulate = SimStart::Bootloader;
            } else if (v == "current") {
                a.sim.simulate = SimStart::Current;
            } else {
                a.error = "--simulate takes normal, bootloader or current";
            }
        } else if (Value(arg, "--simulate-protocol", argc, argv, i, v)) {
            if (v != "1.0" && v != "2.0") a.error = "--simulate-protocol takes 1.0 or 2.0";
            a.sim.simProtocol1 = v == "1.0";
        } else if (Value(arg, "--simulate-fault", argc, argv, i, v)) {
            a.sim.faults.push_back(v);
        } else if (Value(arg, "--simulate-count", argc, argv, i, v)) {
            unsigned n = 0;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (v.empty() || ec != std::errc() || end != v.data() + v.size() || n < 1 ||
                n > kMaxSimControllers)
                a.error = "--simulate-count takes 1 to " + std::to_string(kMaxSimControllers);
            a.sim.simCount = n;
        } else if (Value(arg, "--simulate-unit", argc, argv, i, v)) {
            if (const auto unit = ParseSimUnit(v)) {
                a.sim.simUnits.push_back(*unit);
            } else {
                a.error =
                    "--simulate-unit takes K:MODE, K:protocol=V or K:FAULT (K the controller, from "
                    "0)";
            }
        } else if (Value(arg, "--report-id", argc, argv, i, v)) {
            unsigned n = 0;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (v.empty() || ec != std::errc() || end != v.data() + v.size() || n > 255)
                a.error = "--report-id takes 0 to 255";
            a.reportId = static_cast<std::uint8_t>(n);
        } else if (Value(arg, "--entry", argc, argv, i, v)) {
            if (v != "all" && v != "strings" && v != "switch")
                a.error = "--entry takes all, strings or switch";
            a.entry = v;
        } else if (Value(arg, "--trace", argc, argv, i, v)) {
            a.traceFile = v;
        } else if (Value(arg, "--result", argc, argv, i, v)) {
            a.resultFile = v;
        } else if (Value(arg, "--ready", argc, argv, i, v)) {
            a.readyFile = v;
        } else if (Value(arg, "--vhci", argc, argv, i, v)) {
            a.vhciDir = v;
        } else {
            a.error = "unknown option or missing value: " + std::string(arg);
        }
    }
    for (const SimUnitSetting& unit : a.sim.simUnits) {
        if (a.error.empty() && unit.unit >= a.sim.simCount)
            a.error = "--simulate-unit: there is no controller " + std::to_string(unit.unit) +
                      " (--simulate-count)";
    }
    return a;
}

struct Package {
    std::optional<PackageConfig> config;
    UpdatePackage images;
};

Package LoadPackage() {
    Package p;
    const auto configRecord = LoadEmbeddedRecord(kConfigRecordId);
    if (configRecord) p.config = PackageConfig::Parse(*configRecord);
    const auto packageRecord = LoadEmbeddedRecord(kPackageRecordId);
    if (p.config && packageRecord) {
        if (auto split = SplitPackageRecord(*p.config, *packageRecord)) p.images = *split;
    }
    return p;
}

// Whether the flash of an IC holds exactly the package's image for it,
// page by page in plain (descrambled) form.
bool FlashMatches(const PackageImage& image, const sim::IcConfig& ic,
                  const std::vector<std::uint8_t>& flash) {
    if (image.empty() || image.pageCount() == 0) return false;
    std::vector<std::uint8_t> plain;
    for (std::uint32_t i = 0; i < image.pageCount(); ++i) {
        const std::uint32_t address = image.pageAddress(i);
        const std::span<const std::uint8_t> stored = image.page(i);
        if (address < ic.baseAddress) return false;
        const std::size_t at = address - ic.baseAddress;
        if (at > flash.size() || stored.size() > flash.size() - at) return false;
        plain.assign(stored.size(), 0);
        DescramblePage(address, stored, plain);
        if (!std::equal(plain.begin(), plain.end(),
                        flash.begin() + static_cast<std::ptrdiff_t>(at)))
            return false;
    }
    return true;
}

void WriteResult(const std::string& file, sim::SimController c, const sim::Config& config,
                 const Package& package, const CommitLog& commits, int port) {
    if (file.empty()) return;
    std::string text = "mode=";
    text += c.mode() == sim::Mode::Normal    ? "normal"
            : c.mode() == sim::Mode::Upgrade ? "upgrade"
                                             : "absent";
    text += "\n";
    for (std::size_t k = 0; k < config.ics.size(); ++k) {
        const sim::IcConfig& ic = config.ics[k];
        PackageImage image;
        for (const std::vector<std::uint8_t>& bytes : package.images) {
            PackageImage candidate(bytes);
            if (!candidate.empty() && candidate.header().updateId == ic.updateId) image = candidate;
        }
        const int n = static_cast<int>(k);
        const std::string prefix = "ic" + std::to_string(k) + "_";
        text +=
            prefix + "flash=" + (FlashMatches(image, ic, c.Flash(n)) ? "match" : "differ") + "\n";
        text += prefix + "valid=" + (c.ImageValid(n) ? "yes" : "no") + "\n";
        // Only for an IC that was programmed in this run.
        if (const auto last = commits.LastCommitted(n); last && !image.empty()) {
            const bool final = *last == image.pageAddress(image.finalPageIndex());
            text += prefix + "final_page_last=" + (final ? "yes" : "no") + "\n";
        }
    }
    text += "reenumerations=" + std::to_string(c.Reenumerations()) + "\n";
    // The vhci-hcd port it stayed plugged into: USB port port+1 of the
    // virtual root hub, the last number of the device's sysfs name.
    text += "vhci_port=" + std::to_string(port) + "\n";
    const std::string temporary = file + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0)
        std::cerr << "fwu-simusb: cannot write " << file << '\n';
}

int Main(int argc, char** argv) {
    const Args args = Parse(argc, argv);
    if (args.help) {
        std::cout << kUsage << "\nFaults:\n" << sim::FaultHelp();
        return 0;
    }
    if (!args.error.empty()) {
        std::cerr << "fwu-simusb: " << args.error << '\n';
        return 2;
    }

    const Package package = LoadPackage();
    std::vector<sim::Config> configs;
    for (unsigned unit = 0; unit < args.sim.simCount; ++unit) {
        std::string error;
        sim::Config config =
            MakeSimConfig(args.sim, package.config ? &*package.config : nullptr, error, unit);
        if (!error.empty()) {
            std::cerr << "fwu-simusb: " << error << '\n';
            return 2;
        }
        config.latencyUs = 0;  // the bus gives the real latency
        config.reportId = args.reportId;
        config.traceCapacity = 0;
        if (args.entry != "all") {
            const bool strings = args.entry == "strings";
            config.entryForms = {strings, strings, !strings, false};
        }
        configs.push_back(config);
    }

    std::unique_ptr<ISleeper> sleeper = CreatePlatformSleeper();
    SetSleeper(sleeper.get());

    std::FILE* trace = nullptr;
    if (!args.traceFile.empty()) {
        trace = std::fopen(args.traceFile.c_str(), "a");
        if (trace == nullptr) {
            std::cerr << "fwu-simusb: cannot open " << args.traceFile << '\n';
            return 2;
        }
    }

    if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 2;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    int status = 0;
    {
        sim::SimBackend sim;
        std::vector<std::unique_ptr<VhciBus>> buses;
        std::vector<IVirtualBus*> served;
        for (const sim::Config& config : configs) {
            sim.AddController(config);
            buses.push_back(std::make_unique<VhciBus>(args.vhciDir));
            served.push_back(buses.back().get());
        }
        ServerOptions options;
        options.device.reportId = args.reportId;
        options.device.interruptOut = args.interruptOut;
        options.readyFile = args.readyFile;
        options.trace = trace;
        UsbIpServer server(sim, served, options);
        if (!server.Run(g_stopPipe[0])) {
            std::cerr << "fwu-simusb: " << server.error() << '\n';
            status = 1;
        }
        for (std::size_t k = 0; k < configs.size(); ++k) {
            const std::string file = configs.size() == 1 || args.resultFile.empty()
                                         ? args.resultFile
                                         : args.resultFile + "." + std::to_string(k);
            WriteResult(file, sim.Controller(k), configs[k], package, server.commits(k),
                        buses[k]->port());
        }
    }
    if (trace != nullptr) std::fclose(trace);
    SetSleeper(nullptr);
    return status;
}

}  // namespace
}  // namespace fwu::usbip

int main(int argc, char** argv) {
    return fwu::usbip::Main(argc, argv);
}
