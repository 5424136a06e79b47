// What the Unix host gives beyond host.h: a Windows program run under its Wine, for the
// runner of the Windows test program (windows_program_under_wine.cpp).
#pragma once

#include <string>
#include <vector>

namespace host::wine {

// Runs the Wine loader with `arguments` (a Windows program's path and its own arguments)
// in the host's prefix, on its display, its output passed through; the exit status.
int run_windows_program(const std::vector<std::string>& arguments);
// Runs a Windows program of the prefix's (reg, ...) with `arguments`: what it wrote to its
// standard output and error, then "exit N" and a line feed.
std::string windows_command_output(const std::vector<std::string>& arguments);
// The Windows path (on Wine's drive Z:) of a Unix path.
std::string windows_path(const std::string& unix_path);

}  // namespace host::wine
