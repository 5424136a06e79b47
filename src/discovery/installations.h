// Installed interpreters found in the registry. Portable code only.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// One "zelkor.exe" found under a registered installation.
struct InstalledInterpreter {
    char16_t version[4];      // first three characters of the version subkey's name
    int32_t bits;             // 64 or 32, from the executable's binary type (see below)
    const char16_t* executable; // full path, in double quotes when it holds a space: a heap
                                // copy of its own length, never released
    const char16_t* path;       // the same path without the quotes
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

// How much a scan reads before a request needs it. Eager: every InstallPath, every
// layout and every executable's binary type, as it finds them, every step traced. Lazy:
// the same but the binary types, read only when a request reaches their version (each
// GetBinaryTypeW opens the file and maps its header); a lazy scan that reaches 100
// candidates classifies them in scan order and goes on eagerly, so that the cap falls
// where an eager scan puts it. By need (the runs with the trace off): only the names of
// the version subkeys; a version's InstallPath values, layouts and binary types are read
// when a request reaches it (list_version_group), and an earlier sighting's InstallPath
// when it might list the same executable. Where the sightings could reach the cap (25 or
// more, four layouts each) a by-need scan is a lazy one.
//
// Whatever the way, every request gets the entry an eager scan's table gives it. In a
// by-need scan the table holds the version groups listed so far, each a sorted block of
// its own, in the order they were listed.
enum class Classification { eager, lazy, by_need };

// Fills and sorts installed_interpreters (by need: records the sightings only): under
// WOW64 the 64-bit registry view first, then the native view; the current user before
// the machine in each.
void scan_installations(Classification when = Classification::eager);

// Forgets every installation and sighting, as before the first scan.
void forget_installations();

// Whether the last scan was by need (and so left versions to list_version_group).
bool scanned_by_need();
// A by-need scan's distinct versions, greatest first: version_count() of them.
uint32_t version_count();
const char16_t* version_at(uint32_t rank);
// Lists the executables of every sighting of the version at `rank` (a by-need scan),
// classifies and sorts them, as one block of the table; `*first` and `*count` say where.
// Asked again, it gives the same block.
void list_version_group(uint32_t rank, uint32_t* first, uint32_t* count);

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

