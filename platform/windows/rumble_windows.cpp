// Game-controller rumble through the XInput runtime, loaded at run time and
// imported by ordinal (2: XInputGetState, 3: XInputSetState). Without the
// runtime no controller is ever connected. XInput names no HID interface of
// its user indexes, so UserIndexFor keeps its answer kNoLink: the caller
// takes the lowest connected index.
#include <windows.h>

#include <xinput.h>

#include <mutex>

#include "platform/platform.h"

namespace fwu {
namespace {

using GetStateFn = DWORD(WINAPI*)(DWORD, XINPUT_STATE*);
using SetStateFn = DWORD(WINAPI*)(DWORD, XINPUT_VIBRATION*);

constexpr unsigned kUserIndexes = 4;

// GetProcAddress hands out a generic function pointer; going through
// void(*)() keeps the conversion to the real signature warning-free.
template <typename Fn>
Fn LoadByOrdinal(HMODULE module, WORD ordinal) {
    const FARPROC address = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

class XInputRumble final : public IRumble {
  public:
    XInputRumble() {
        module_ = LoadLibraryW(L"xinput1_4.dll");
        if (module_ != nullptr) {
            getState_ = LoadByOrdinal<GetStateFn>(module_, 2);
            setState_ = LoadByOrdinal<SetStateFn>(module_, 3);
        }
    }
    ~XInputRumble() override {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    XInputRumble(const XInputRumble&) = delete;
    XInputRumble& operator=(const XInputRumble&) = delete;

    bool IsConnected(unsigned userIndex) override {
        if (getState_ == nullptr || userIndex >= kUserIndexes) return false;
        XINPUT_STATE state{};
        return getState_(userIndex, &state) == ERROR_SUCCESS;
    }

    bool SetState(unsigned userIndex, std::uint16_t left, std::uint16_t right) override {
        if (setState_ == nullptr || userIndex >= kUserIndexes) return false;
        XINPUT_VIBRATION vibration{};
        vibration.wLeftMotorSpeed = left;
        vibration.wRightMotorSpeed = right;
        return setState_(userIndex, &vibration) == ERROR_SUCCESS;
    }

  private:
    HMODULE module_ = nullptr;
    GetStateFn getState_ = nullptr;
    SetStateFn setState_ = nullptr;
};

}  // namespace

std::unique_ptr<IRumble> CreatePlatformRumble() {
    return std::make_unique<XInputRumble>();
}

}  // namespace fwu
