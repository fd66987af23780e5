#include "platform/system.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace fwu {
namespace {
std::atomic<ISystem*> g_system{nullptr};
}

ISystem& System() {
    ISystem* s = g_system.load();
    if (s == nullptr) {
        std::fputs("fwu: system services used before they were set\n", stderr);
        std::abort();
    }
    return *s;
}

void SetSystem(ISystem* system) {
    g_system.store(system);
}

}  // namespace fwu
