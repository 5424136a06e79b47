// The per-user local application-data folder, where the per-user zk.ini lives. Portable
// code only.
#pragma once

#include <cstdint>

#include "base/text.h"

// Writes the folder into `folder`, whole at any length, and returns 0, or returns the HRESULT of
// the failure. The answer is SHGetFolderPathW(CSIDL_LOCAL_APPDATA)'s, found without
// loading shell32 where that can be done with certainty: from the value "Local AppData"
// of the user's "User Shell Folders" key, with %USERPROFILE% standing for the profile
// folder that the system records for the user, when the environment's USERPROFILE is
// that folder (ignoring case) and the value names an existing absolute folder. Anything
// else (USERPROFILE absent or another folder, the value missing, another variable, a
// folder that does not exist) is left to SHGetFolderPathW.
int32_t locate_local_appdata(text::Growable& folder);
