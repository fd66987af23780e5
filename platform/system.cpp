#include "platform/system.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

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

bool ISystem::IsRegularFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(
        std::filesystem::path(std::u8string(path.begin(), path.end())), ec);
}

void SetSystem(ISystem* system) {
    g_system.store(system);
}

std::string ISystem::AppendLineLocked(const std::string& /*path*/, const std::string& /*line*/) {
    return "this system keeps no appended files";
}

std::string ISystem::ReadFileLocked(const std::string& /*path*/, std::string& content) {
    content.clear();
    return "this system keeps no appended files";
}

}  // namespace fwu
