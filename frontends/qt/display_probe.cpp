#include "frontends/qt/display_probe.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace fwu {
namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// An X server at DISPLAY, asked the way Qt's own platform plugin will: through
// the X client library, loaded only for the question so that the program
// does not depend on it when it has no window to open.
bool XServerAnswers() {
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr) return false;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool answers = false;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        // Never null: a failed connection is an object in an error state.
        void* connection = connect(nullptr, nullptr);
        answers = connection != nullptr && hasError(connection) == 0;
        if (connection != nullptr) disconnect(connection);
    }
    ::dlclose(xcb);
    return answers;
}

// A Wayland compositor listening on its socket.
bool WaylandAnswers(const std::string& display) {
    std::string path = display;
    if (path.empty() || path.front() != '/') {
        const std::string runtime = Env("XDG_RUNTIME_DIR");
        if (runtime.empty()) return false;
        path = runtime + "/" + path;
    }
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
}

}  // namespace

bool ProbeDisplay(std::string& why) {
    const std::string platform = Env("QT_QPA_PLATFORM");
    const std::string x = Env("DISPLAY");
    const std::string wayland = Env("WAYLAND_DISPLAY");
    const std::string name = platform.substr(0, platform.find(':'));
    // Platforms without a display server (offscreen, vnc, eglfs, ...).
    if (!name.empty() && name != "xcb" && name.rfind("wayland", 0) != 0) return true;

    const bool tryX = name.empty() || name == "xcb";
    const bool tryWayland = name.empty() || name != "xcb";
    if (tryX && !x.empty() && XServerAnswers()) return true;
    if (tryWayland && !wayland.empty() && WaylandAnswers(wayland)) return true;

    why.clear();
    if (tryX && !x.empty()) why += "DISPLAY=" + x;
    if (tryWayland && !wayland.empty()) {
        if (!why.empty()) why += ", ";
        why += "WAYLAND_DISPLAY=" + wayland;
    }
    if (why.empty()) why = "no display set";
    return false;
}

}  // namespace fwu
