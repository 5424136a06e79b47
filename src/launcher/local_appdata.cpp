// The per-user local application-data folder, read where Windows keeps its name.
// Portable code only.
//
// SHGetFolderPathW reads the same registry value, but loading shell32 (and the DLLs it
// brings) costs more than all the rest of a launcher run. So the value is read here, and
// shell32 is asked only when the value holds anything whose meaning is not certain
// without it. Whatever this road finds, SHGetFolderPathW would give the same answer:
// it ignores the process's environment (USERPROFILE, LOCALAPPDATA) just as this does.
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

// `value` with every %USERPROFILE% (in any case) replaced by the profile folder, into
// `folder` of max_path units. False when anything else in it would need expanding, or
// when the result does not fit.
bool expand_profile(const char16_t* value, char16_t* folder) {
    const size_t variable_length = text::length(profile_variable);
    char16_t profile[max_path];
    bool have_profile = false;
    folder[0] = 0;
    for (const char16_t* percent; (percent = text::find(value, u'%')) != nullptr;) {
        if (text::compare_folded_n(percent, profile_variable, variable_length) != 0) return false;
        if (!have_profile && !(have_profile = read_profile_folder(profile))) return false;
        size_t used = text::length(folder);
        if (!text::copy_n(folder + used, max_path - used, value, static_cast<size_t>(percent - value)) ||
            !text::append(folder, max_path, profile))
            return false;
        value = percent + variable_length;
    }
    return text::append(folder, max_path, value);
}

// The folder from the registry, when its meaning is certain: an existing directory named
// by an absolute path that does not end in a separator.
bool local_appdata_from_registry(char16_t* folder) {
    char16_t value[max_path];
    uint32_t type = 0;
    if (!read_string_value(platform::hkey_current_user, shell_folders_key, platform::key_query_value,
                           u"Local AppData", value, &type))
        return false;
    if (type == platform::reg_expand_sz ? !expand_profile(value, folder) : !text::copy(folder, max_path, value))
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
