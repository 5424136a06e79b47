// Script header. Stand-in: the first bytes are read and nothing is recognised yet.
#include "script/header.h"

void maybe_handle_shebang(platform::Handle script, const char16_t*) {
    static unsigned char header[2048];
    platform::read_file(header, sizeof header, script);
    platform::close_file(script);
}
