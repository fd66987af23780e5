#include "platform/hid.h"

#include <atomic>

namespace fwu {
namespace {

// Used until a front end or a test installs the real services: no devices,
// no game controller, so every search finds nothing and every rumble fails.
class EmptyHidBackend : public IHidBackend {
  public:
    std::vector<std::string> EnumeratePaths() override { return {}; }
    std::unique_ptr<IHidDevice> Open(const std::string&) override { return nullptr; }
};

class NoRumble : public IRumble {
  public:
    bool IsConnected(unsigned) override { return false; }
    bool SetState(unsigned, std::uint16_t, std::uint16_t) override { return false; }
};

EmptyHidBackend g_emptyBackend;
NoRumble g_noRumble;
std::atomic<IHidBackend*> g_backend{nullptr};
std::atomic<IRumble*> g_rumble{nullptr};

}  // namespace

IHidBackend& HidBackend() {
    IHidBackend* b = g_backend.load();
    return b ? *b : g_emptyBackend;
}

void SetHidBackend(IHidBackend* backend) {
    g_backend.store(backend);
}

IRumble& Rumble() {
    IRumble* r = g_rumble.load();
    return r ? *r : g_noRumble;
}

void SetRumble(IRumble* rumble) {
    g_rumble.store(rumble);
}

}  // namespace fwu
