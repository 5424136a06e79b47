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

#include "launcher/launcher.h"
#include "launcher/platform.h"
#include "launcher/text.h"

namespace {

constexpr const char16_t* shell_folders_key =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr const char16_t* profile_list_key = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
constexpr const char16_t* profile_variable = u"%USERPROFILE%";
constexpr int csidl_local_appdata = 28;

// A string value (REG_SZ or REG_EXPAND_SZ) into `value` of max_path units, terminated
// whether the stored data was or not; its type in `*type`. False when the key or the
// value is missing, of another type, or too long for a path.
bool read_string_value(platform::Handle root, const char16_t* key_path, uint32_t access, const char16_t* name,
                       char16_t* value, uint32_t* type) {
    platform::Handle key = nullptr;
    if (platform::reg_open_key_ex(root, key_path, 0, access, &key) != 0) return false;
    uint32_t size = (max_path - 1) * sizeof(char16_t);  // room for a terminator the data lacks
    int32_t status = platform::reg_query_value_ex(key, name, type, value, &size);
    platform::reg_close_key(key);
    if (status != 0 || (*type != platform::reg_sz && *type != platform::reg_expand_sz) || size % 2 != 0)
        return false;
    value[size / sizeof(char16_t)] = 0;
    return true;
}

// The user's profile folder as the system records it (ProfileList\<SID>, in the 64-bit
// view, which is the only one on 64-bit Windows), when it needs no expanding itself.
bool read_profile_folder(char16_t* profile) {
    char16_t key_path[max_path];
    char16_t sid[192];  // a SID's text has at most 184 characters
    uint32_t type = 0;
    return platform::get_user_sid_string(sid, 192) && text::copy(key_path, max_path, profile_list_key) &&
           text::append(key_path, max_path, sid) &&
           read_string_value(platform::hkey_local_machine, key_path,
                             platform::key_query_value | platform::key_wow64_64key, u"ProfileImagePath", profile,
                             &type) &&
           text::find(profile, u'%') == nullptr;
}

// Whether the environment's USERPROFILE is `profile`, ignoring case: only then does the
// shell's expansion of the value give what the value says with `profile` put in.
bool environment_names_profile(const char16_t* profile) {
    char16_t variable[max_path];
    uint32_t length = platform::get_environment_variable(u"USERPROFILE", variable, max_path);
    return length > 0 && length < max_path && text::compare_folded(variable, profile) == 0;
}

// `value` with every %USERPROFILE% (in any case) replaced by `profile`, into `folder` of
// max_path units. False when anything else in it would need expanding, or when the
// result does not fit.
bool expand_profile(const char16_t* value, const char16_t* profile, char16_t* folder) {
    const size_t variable_length = text::length(profile_variable);
    folder[0] = 0;
    for (const char16_t* percent; (percent = text::find(value, u'%')) != nullptr;) {
        if (text::compare_folded_n(percent, profile_variable, variable_length) != 0) return false;
        size_t used = text::length(folder);
        if (!text::copy_n(folder + used, max_path - used, value, static_cast<size_t>(percent - value)) ||
            !text::append(folder, max_path, profile))
            return false;
        value = percent + variable_length;
    }
    return text::append(folder, max_path, value);
}

// The folder from the registry, when its meaning is certain: the environment's profile is
// the user's, and the value names an existing directory by an absolute path that does not
// end in a separator. A REG_SZ holding "%" is the shell's to judge.
bool local_appdata_from_registry(char16_t* folder) {
    char16_t profile[max_path];
    if (!read_profile_folder(profile) || !environment_names_profile(profile)) return false;
    char16_t value[max_path];
    uint32_t type = 0;
    if (!read_string_value(platform::hkey_current_user, shell_folders_key, platform::key_query_value,
                           u"Local AppData", value, &type) ||
        (type == platform::reg_sz && text::find(value, u'%') != nullptr) || !expand_profile(value, profile, folder))
        return false;
    size_t length = text::length(folder);
    if (!text::is_absolute_folder(folder, length) || folder[length - 1] == u'\\' || folder[length - 1] == u'/')
        return false;
    uint32_t attributes = platform::get_file_attributes(folder);
    return attributes != platform::invalid_file_attributes && (attributes & platform::file_attribute_directory) != 0;
}

}  // namespace

int32_t locate_local_appdata(char16_t* folder) {
    if (local_appdata_from_registry(folder)) return 0;
    return platform::sh_get_folder_path(csidl_local_appdata, 0, folder);
}
