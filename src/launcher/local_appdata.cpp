// The per-user local application-data folder, read where Windows keeps its name.
// Portable code only.
//
// SHGetFolderPathW reads the same registry value, but loading shell32 (and the DLLs it
// brings) costs more than all the rest of a launcher run. So the value is read here, and
// shell32 is asked whenever its answer could differ from the value's plain meaning. On
// Windows it expands the value with the process's own environment: a USERPROFILE set to
// another folder (a test harness, a sandbox, runas /noprofile, a CI agent) gives that
// folder's AppData\Local, or a failure. So this road is taken only when the environment's
// USERPROFILE is the profile folder the system records for the user, and the value holds
// nothing to expand but %USERPROFILE%; in every other case the shell decides. (Wine's
// shell ignores the environment there; Windows' does not.)
#include "launcher/local_appdata.h"

#include "base/diagnostics.h"
#include "base/text.h"
#include "platform/platform.h"

namespace {

constexpr const char16_t* shell_folders_key =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr const char16_t* profile_list_key = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
constexpr const char16_t* profile_variable = u"%USERPROFILE%";
constexpr int csidl_local_appdata = 28;

// A string value (REG_SZ or REG_EXPAND_SZ) into `value`, whole; its type in `*type`.
// False when the key or the value is missing, of another type, or of an odd size.
bool read_string_value(platform::Handle root, const char16_t* key_path, uint32_t access, const char16_t* name,
                       text::Growable& value, uint32_t* type) {
    platform::Handle key = nullptr;
    if (platform::reg_open_key_ex(root, key_path, 0, access, &key) != 0) return false;
    uint32_t bytes = 0;
    int32_t status = query_text_value(key, name, type, value, &bytes);
    platform::reg_close_key(key);
    return status == 0 && (*type == platform::reg_sz || *type == platform::reg_expand_sz) && bytes % 2 == 0;
}

// The user's profile folder as the system records it (ProfileList\<SID>, in the 64-bit
// view, which is the only one on 64-bit Windows), when it needs no expanding itself.
bool read_profile_folder(text::Growable& profile) {
    char16_t sid[192];  // a SID's text has at most 184 characters
    if (!platform::get_user_sid_string(sid, 192)) return false;
    text::Growable key_path;
    text::format(key_path, u"%ls%ls", profile_list_key, sid);
    uint32_t type = 0;
    return read_string_value(platform::hkey_local_machine, key_path.data,
                             platform::key_query_value | platform::key_wow64_64key, u"ProfileImagePath", profile,
                             &type) &&
           text::find(profile.data, u'%') == nullptr;
}

// Whether the environment's USERPROFILE is `profile`, ignoring case: only then does the
// shell's expansion of the value give what the value says with `profile` put in.
bool environment_names_profile(const char16_t* profile) {
    const char16_t* variable = read_env_var(u"USERPROFILE");
    return variable != nullptr && text::compare_folded(variable, profile) == 0;
}

// `value` with every %USERPROFILE% (in any case) replaced by `profile`, into `folder`.
// False when anything else in it would need expanding.
bool expand_profile(const char16_t* value, const char16_t* profile, text::Growable& folder) {
    const size_t variable_length = text::length(profile_variable);
    text::assign(folder, u"");
    for (const char16_t* percent; (percent = text::find(value, u'%')) != nullptr;) {
        if (text::compare_folded_n(percent, profile_variable, variable_length) != 0) return false;
        text::append_n(folder, value, static_cast<size_t>(percent - value));
        text::append(folder, profile);
        value = percent + variable_length;
    }
    text::append(folder, value);
    return true;
}

// The folder from the registry, when its meaning is certain: the environment's profile is
// the user's, and the value names an existing directory by an absolute path that does not
// end in a separator. A REG_SZ holding "%" is the shell's to judge.
bool local_appdata_from_registry(text::Growable& folder) {
    text::Growable profile, value;
    if (!read_profile_folder(profile) || !environment_names_profile(profile.data)) return false;
    uint32_t type = 0;
    if (!read_string_value(platform::hkey_current_user, shell_folders_key, platform::key_query_value,
                           u"Local AppData", value, &type) ||
        (type == platform::reg_sz && text::find(value.data, u'%') != nullptr) ||
        !expand_profile(value.data, profile.data, folder))
        return false;
    size_t length = folder.length;
    if (!text::is_absolute_folder(folder.data, length) || folder.data[length - 1] == u'\\' ||
        folder.data[length - 1] == u'/')
        return false;
    uint32_t attributes = platform::get_file_attributes(folder.data);
    return attributes != platform::invalid_file_attributes && (attributes & platform::file_attribute_directory) != 0;
}

}  // namespace

int32_t locate_local_appdata(text::Growable& folder) {
    if (local_appdata_from_registry(folder)) return 0;
    // The shell's answer fits MAX_PATH: that is all SHGetFolderPathW can give.
    text::reserve(folder, text::short_path_limit);
    folder.data[0] = 0;
    int32_t result = platform::sh_get_folder_path(csidl_local_appdata, 0, folder.data);
    text::settle(folder);
    return result;
}
