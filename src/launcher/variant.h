// What differs between the console launcher (zklaunch.exe) and the windowless one
// (zklaunchw.exe). Exactly one of variant_console.cpp and variant_windowless.cpp is
// linked into an executable, as the platform is; everything else is the same code. The
// floors below declare what they ask of it: base/report.h (a fatal message),
// child/handover.h (the child's start). Portable code only.
#pragma once

#include "base/report.h"
#include "child/handover.h"

namespace variant {

// The kind of executable, for the trace's second line: "Console" or "Windows".
extern const char16_t* const executable_kind;

}  // namespace variant
