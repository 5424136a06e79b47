// Registry discovery of installations. Stand-in: nothing is scanned yet.
#include "discovery/installations.h"

InstalledInterpreter installed_interpreters[max_installations];
uint32_t installed_count = 0;
