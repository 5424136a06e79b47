// Custom commands. Stand-in: nothing is loaded yet.
#include "script/commands.h"

void read_commands(const char16_t*) {}

int custom_command_count = 0;
