// The platform's desktop operations on Win32 (user32), which only the windowless launcher
// calls. They live apart from platform_win32.cpp so that the console launcher, which does
// not link this file, imports nothing from user32. Each function forwards to its call.
#include "launcher/platform.h"

#include <windows.h>

namespace platform {

bool get_window_station_flags(uint32_t* flags) {
    USEROBJECTFLAGS information{};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &information, sizeof information, &needed))
        return false;
    *flags = information.dwFlags;
    return true;
}

int message_box(const char16_t* text, const char16_t* caption, uint32_t type) {
    return MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text), reinterpret_cast<const wchar_t*>(caption), type);
}

bool allow_set_foreground_window(uint32_t process_id) { return AllowSetForegroundWindow(process_id) != 0; }

}  // namespace platform
