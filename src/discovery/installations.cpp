// Registry discovery of installations. Stand-in: nothing is scanned yet.
#include "discovery/installations.h"
