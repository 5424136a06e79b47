// Installed interpreters found in the registry. Portable code only.
#pragma once

#include <cstdint>

#include "launcher/platform.h"

// One "zelkor.exe" found under a registered installation.
struct InstalledInterpreter {
    char16_t version[4];      // first three characters of the version subkey's name
    int32_t bits;             // 64 or 32, from the executable's binary type (see below)
    const char16_t* executable; // full path, in double quotes when it holds a space: a heap
                                // copy of its own length, never released
    uint32_t sequence;        // order of the sighting in its scan: 0 for the first listed
};

inline constexpr uint32_t max_installations = 100;

// Valid entries are 0 to installed_count - 1, sorted by installation_order once a scan
// has run. After the scan nothing is removed (a table that lists no executable at all is
// emptied and scanned again by the next request).
//
// A lazy scan leaves entries that are candidates still: an executable that exists, with
// bits_unclassified until classify_version_group reads its binary type, and
// bits_rejected once that type is found to be neither 64- nor 32-bit.
extern InstalledInterpreter installed_interpreters[max_installations];
extern uint32_t installed_count;
inline constexpr int32_t bits_unclassified = 0;
inline constexpr int32_t bits_rejected = -1;

// When a scan reads each executable's binary type. Eager: as it finds it, every step
// traced. Lazy (for runs with the trace off): only when a request reaches its version,
// since each GetBinaryTypeW opens the file and maps its header, and a request needs one
// or two of them. A lazy scan that reaches 100 candidates classifies them in scan order
// and goes on eagerly, so that the cap falls where an eager scan puts it.
enum class Classification { eager, lazy };

// Fills and sorts installed_interpreters: under WOW64 the 64-bit registry view first,
// then the native view; the current user before the machine in each.
void scan_installations(Classification when = Classification::eager);

// Reads the binary types of the candidates of the version group that starts at `first`
// (the entries from there on that share its version), then sorts that group alone: 64-bit
// first, rejected last. No entry outside the group moves, so pointers to entries already
// handed out stay valid. Nothing happens when entry `first` is classified already.
void classify_version_group(uint32_t first);

// Appends the executables registered under root's "SOFTWARE\Zelkor\ZelkorCore", opening
// every key with `access` (which selects the registry view). Failures are traced.
void locate_zelkors_for_key(platform::Handle root, uint32_t access);

// qsort comparison: greater version text first, then 64-bit before 32-bit, then the
// earlier sighting (the 64-bit view before the native one, the current user before the
// machine, subkeys in enumeration order). No two entries of one scan compare equal, so
// the answer never depends on how the sort treats ties.
int installation_order(const void* a, const void* b);

