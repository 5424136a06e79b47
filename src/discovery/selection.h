// Choosing one installed interpreter for a version request or the default, honouring
// the configured defaults. Portable code only.
#pragma once

#include "base/text.h"
#include "discovery/installations.h"

// The two zk.ini files whose "defaults" sections hold configured defaults, found by the
// main flow before the first request; empty text when the file is not there.
extern text::Growable local_ini_path;   // in the per-user local application-data folder
extern text::Growable global_ini_path;  // beside the launcher

// "zelkorX": the key looked up in the "defaults" sections, and behind "zk_" the
// environment variable's name. Its 7th character is set before each lookup: to a
// request's single character (zelkor3), or to the terminator (zelkor).
extern char16_t default_key[8];
// The last configured value read from an ini file (or the variable's name before that).
extern char16_t configured_value[1024];

// The entry for `request` (a version prefix such as "3", "3.6", "3.6-32", or empty for
// the default), or null when none fits. Scans the registry first while nothing has been
// found. A one-character request is replaced by its configured default when there is
// one. On the default road a configured default comes first, then major 3 and major 2
// (2 first with `prefer_major_2`). The pointer stays valid for the whole run.
const InstalledInterpreter* select_interpreter(const char16_t* request, bool prefer_major_2);

// The first entry, in table order, whose version and the request agree over the shorter
// of the two, restricted to 32-bit entries when the request holds "-32"; or null.
const InstalledInterpreter* match_installed(const char16_t* request);

// The configured value for default_key: the variable zk_<key>, else the key in the
// "defaults" section of the per-user zk.ini, else of the one beside the launcher. Null
// when none is set and non-empty. Valid until the next lookup or read_env_var.
const char16_t* lookup_configured_default();
