// Where a fatal message goes: the one thing of the diagnostics that differs between the
// console launcher and the windowless one. Each launcher's variant file defines it
// (launcher/variant_*.cpp, chosen at link time, as the platform is). Portable code only.
#pragma once

#include <cstddef>

namespace variant {

// Shows a fatal message (`length` units, its line feed included, then a terminator; the
// storage is the callee's to change) where the user can see it: on standard error, or
// for the windowless launcher without one, in a message box when somebody can see and
// close it. Returns in every case; the caller exits.
void report_fatal(char16_t* message, size_t length);

}  // namespace variant
