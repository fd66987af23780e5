#include "tests/ui/ui_harness.h"

#include <fstream>
#include <sstream>

#include "base/text.h"
#include "platform/hid.h"
#include "tools/fwpkg/fwpkg.h"

namespace fwu::test {

namespace {

// The demo manifest the tool ships with.
constexpr const char* kManifest = R"(
product_name = M27504_Controller
normal_id = 0x3A5C 0x1F40
normal_id = 0 0
normal_id = 0 0
upgrade_id = 0x3A5C 0x2033
config_size = 131072
package_size = 2098150

[image]
firmware = demo_image0.bin
update_id = 0x313
version = 0x0140
sub_version = 1
has_sub_version = 1
page_size = 1024
base_address = 0
final_page_offset = 0x5FF0
demo_pages = 97
demo_erased_page = 60

[image]
firmware = demo_image1.bin
update_id = 0x20D
version = 0x0120
sub_version = 0
has_sub_version = 0
page_size = 4096
base_address = 0
final_page_offset = 0x30
demo_pages = 7
)";

Records Build(bool oneImage) {
    std::string error;
    auto manifest = pkg::ParseManifest(kManifest, error);
    if (!manifest) throw std::runtime_error(error);
    if (oneImage) {
        manifest->images.resize(1);
        manifest->packageSize = 0;
    }
    std::vector<std::vector<std::uint8_t>> firmware;
    for (std::size_t k = 0; k < manifest->images.size(); ++k) {
        auto plain = pkg::DemoFirmware(*manifest, k, error);
        if (!plain) throw std::runtime_error(error);
        firmware.push_back(*plain);
    }
    auto records = pkg::BuildRecords(*manifest, firmware, error);
    if (!records) throw std::runtime_error(error);
    return {records->config, records->package};
}

int g_dirCounter = 0;

}  // namespace

const Records& ShippedRecords() {
    static const Records r = Build(false);
    return r;
}

const Records& OneImageRecords() {
    static const Records r = Build(true);
    return r;
}

const PackageConfig& ShippedConfig() {
    static const PackageConfig c = *PackageConfig::Parse(ShippedRecords().config);
    return c;
}

const UpdatePackage& ShippedImages() {
    static const UpdatePackage p = *SplitPackageRecord(ShippedConfig(), ShippedRecords().package);
    return p;
}

FakeSystem::FakeSystem() {
    dir = std::filesystem::temp_directory_path() /
          ("fwu_ui_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "_" +
           std::to_string(++g_dirCounter));
    std::filesystem::create_directories(dir);
}

FakeSystem::~FakeSystem() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

void RecordingHost::SetTimer(unsigned id, unsigned periodMs) {
    ++timerSets;
    loop->SetTimer(id, periodMs, [this](unsigned tick) {
        ++ticks;
        dlg->OnTimer(tick);
    });
}

void RecordingHost::KillTimer(unsigned id) {
    ++timerKills;
    loop->KillTimer(id);
}

bool RecordingHost::RegisterHidNotification() {
    // Events reach the dialog on its own thread, in the order they happened.
    return sim->Start([this](HotplugEvent event, const std::string& path) {
        if (!deliverHotplug) return;
        loop->Post([this, event, path] { dlg->OnDeviceChange(event, path); });
    });
}

void RecordingHost::UnregisterHidNotification() {
    sim->Stop();
}

Harness::Harness(std::vector<sim::Config> controllers, std::map<std::string, std::string> settings,
                 Records records) {
    system.settings = std::move(settings);
    system.records = std::move(records);
    SetSystem(&system);
    SetSleeper(&sleeper);
    SetHidBackend(&sim);
    SetRumble(&sim);
    ResetLogForTests();
    m_hNormal.Reset();
    m_hUpdate.Reset();
    for (const sim::Config& c : controllers) sim.AddController(c);
    host.loop = &loop;
    host.dlg = &dlg;
    host.sim = &sim;
    dlg.SetWorkerSink(&sink);
}

Harness::~Harness() {
    // A worker blocked in a message to the dialog is released by the loop's
    // stop before the window goes.
    loop.Quit();
    dlg.OnDestroy();
    m_hNormal.Reset();
    m_hUpdate.Reset();
    ResetLogForTests();
    SetHidBackend(nullptr);
    SetRumble(nullptr);
    SetSleeper(nullptr);
}

bool Harness::RunUntilBox(std::size_t before) {
    return loop.RunUntil([&] { return host.boxes.size() > before; });
}

std::string Harness::LogText() const {
    std::ifstream in(std::filesystem::path(logFilePath()), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

sim::Config Controller(std::uint16_t fw0, std::uint16_t sub0, std::uint16_t fw1,
                       std::uint16_t sub1) {
    sim::Config c;
    c.ics[0].fwVersion = fw0;
    c.ics[0].subVersion = sub0;
    c.ics[1].fwVersion = fw1;
    c.ics[1].subVersion = sub1;
    return c;
}

std::string ShippedSuccessText() {
    const UpdatePackage& images = ShippedImages();
    return Format("Update and Verify OK!\nCheckSum:0x%08X\nRelease:0x140\n",
                  PackageImage(images[0]).checksumSum()) +
           Format("CheckSum:0x%08X\nRelease:0x120\n", PackageImage(images[1]).checksumSum());
}

}  // namespace fwu::test
