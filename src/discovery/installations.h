// Installed interpreters found in the registry. Portable code only.
#pragma once

#include <cstdint>

#include "launcher/platform.h"

// One "zelkor.exe" found under a registered installation.
struct InstalledInterpreter {
    char16_t version[4];      // first three characters of the version subkey's name
    int32_t bits;             // 64 or 32, from the executable's binary type
    char16_t executable[260]; // full path, in double quotes when it holds a space
};

inline constexpr uint32_t max_installations = 100;

// Valid entries are 0 to installed_count - 1, sorted by installation_order once a scan
// has run. Nothing is ever removed.
extern InstalledInterpreter installed_interpreters[max_installations];
extern uint32_t installed_count;

// Fills and sorts installed_interpreters: under WOW64 the 64-bit registry view first,
// then the native view; the current user before the machine in each.
void scan_installations();

// Appends the executables registered under root's "SOFTWARE\Zelkor\ZelkorCore", opening
// every key with `access` (which selects the registry view). Failures are traced.
void locate_zelkors_for_key(platform::Handle root, uint32_t access);

// qsort comparison: greater version text first, then 64-bit before 32-bit.
int installation_order(const void* a, const void* b);
