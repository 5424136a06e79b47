// The process's wide-character entry point (Windows builds only).
#include "launcher/launcher.h"

static_assert(sizeof(wchar_t) == 2, "the Windows entry point receives UTF-16 text");

// Ask the MinGW runtime to expand wildcards in the arguments it splits, as a user of a
// Windows command expects of argv. (MSVC links wsetargv.obj for the same effect.)
#if defined(__MINGW32__)
extern "C" {
int _dowildcard = -1;
}
#endif

int wmain(int argc, wchar_t** argv) {
    launcher_main(argc, reinterpret_cast<char16_t**>(argv));
}
