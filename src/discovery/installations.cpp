// Registry discovery of installed interpreters. Portable code only.
//
// Each installation is a subkey of SOFTWARE\Zelkor\ZelkorCore named after its version,
// whose InstallPath subkey holds the installation directory as its default value. Every
// directory is probed for zelkor.exe in four layouts; each executable found is listed
// once, with its bits taken from its binary type.
#include "discovery/installations.h"

#include "base/diagnostics.h"
#include "base/text.h"

InstalledInterpreter installed_interpreters[max_installations];
uint32_t installed_count = 0;

namespace {

constexpr const char16_t* core_key = u"SOFTWARE\\Zelkor\\ZelkorCore";
constexpr const char16_t* install_layout_suffixes[] = {
    u"\\", u"\\Vornix\\win32\\", u"\\Vornix\\amd64\\", u"\\Vornix\\", nullptr};
constexpr const char16_t* executable_name = u"zelkor.exe";
constexpr uint32_t scs_32bit_binary = 0;
constexpr uint32_t scs_64bit_binary = 6;
constexpr uint32_t error_invalid_data = 13;

// Whether `entry` already lists `path`, ignoring case.
bool lists(const InstalledInterpreter& entry, const char16_t* path) { return text::compare_folded(entry.path, path) == 0; }

// Set for the length of one scan.
bool classify_lazily = false;
// The next entry's sequence: how many executables the scan has listed so far.
uint32_t next_sequence = 0;

bool already_listed(const char16_t* path) {
    for (uint32_t i = 0; i < installed_count; ++i)
        if (lists(installed_interpreters[i], path)) return true;
    return false;
}

void trace_path_failure(const char16_t* path, uint32_t code) {
    char16_t message[1024];
    system_error_text(code, message);
    trace(u"locate_zelkors_for_key: %ls: %ls", path, message);
}

// The InstallPath value's length in characters. The data is taken to end with one
// terminator; data stored without one keeps its last character, and the text stops at
// the first NUL, so a value stored carelessly still names its own directory.
size_t install_path_length(const char16_t* data, uint32_t bytes) {
    size_t units = bytes / 2;
    if (units > 0 && data[units - 1] == 0) --units;
    size_t length = 0;
    while (length < units && data[length] != 0) ++length;
    return length;
}

// 64 or 32 from the executable's binary type, or bits_rejected (traced).
int32_t bits_of(const char16_t* path) {
    uint32_t type = 0;
    if (!platform::get_binary_type(path, &type)) {
        trace(u"Failure getting binary type: %ls\n", path);
        return bits_rejected;
    }
    if (type == scs_64bit_binary) return 64;
    if (type == scs_32bit_binary) return 32;
    trace(u"locate_zelkors_for_key: %ls: invalid binary type: %X\n", path, type);
    return bits_rejected;
}

// Classifies an entry of a lazy scan.
void classify(InstalledInterpreter& entry) {
    if (entry.bits != bits_unclassified) return;
    entry.bits = bits_of(entry.path);
}

// The candidates of a lazy scan that has reached the cap, classified in the order found
// and the rejected ones taken out, as an eager scan would never have listed them; the
// rest of the scan is eager. Runs before the table is sorted, so no pointer into it
// exists yet.
void classify_in_scan_order() {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < installed_count; ++i) {
        classify(installed_interpreters[i]);
        if (installed_interpreters[i].bits > 0) installed_interpreters[kept++] = installed_interpreters[i];
    }
    installed_count = kept;
    classify_lazily = false;
}

// Lists `path` in the table's first free slot.
const InstalledInterpreter& add_entry(const char16_t* version, int32_t bits, uint32_t sequence, const char16_t* path) {
    InstalledInterpreter& entry = installed_interpreters[installed_count++];
    text::copy(entry.version, 4, version);
    entry.bits = bits;
    entry.sequence = sequence;
    // Its own storage, for the rest of the run: quoted when it holds a blank (unquoted, it
    // would run the path's first word).
    entry.path = text::kept_copy(path);
    entry.executable = text::quoted_if_blank(entry.path);
    return entry;
}

// Whether `path` names something that may be listed: it exists and is no directory.
bool probe_candidate(const char16_t* path) {
    uint32_t attributes = platform::get_file_attributes(path);
    if (attributes == platform::invalid_file_attributes) {
        uint32_t error = platform::get_last_error();
        trace_path_failure(path, error);
        trace_long_path(path, error);
        return false;
    }
    if (attributes & platform::file_attribute_directory) {
        trace(u"locate_zelkors_for_key: '%ls' is a directory\n", path);
        return false;
    }
    return true;
}

// Lists `path` in the table's first free slot when it is a 32- or 64-bit executable not
// yet listed.
void list_if_executable(const char16_t* version, const char16_t* path) {
    if (!probe_candidate(path)) return;
    if (already_listed(path)) {
        trace(u"locate_zelkors_for_key: %ls: already found\n", path);
        return;
    }
    // A lazy scan leaves the type unread.
    int32_t bits = classify_lazily ? bits_unclassified : bits_of(path);
    if (bits == bits_rejected) return;
    const InstalledInterpreter& entry = add_entry(version, bits, next_sequence++, path);
    if (!classify_lazily)
        trace(u"locate_zelkors_for_key: %ls is a %dbit executable\n", entry.executable, bits);
    if (classify_lazily && installed_count >= max_installations) classify_in_scan_order();
}

// Probes `directory` + `suffix` + "zelkor.exe".
void probe_layout(const char16_t* version, const char16_t* directory, const char16_t* suffix) {
    text::Growable candidate;
    text::format(candidate, u"%ls%ls%ls", directory, suffix, executable_name);
    list_if_executable(version, candidate.data);
    text::release(candidate);
}

// Whether the three Vornix layouts can hold anything. Most installations have no Vornix
// folder, and a probe that fails shows only in the trace: with the trace off, one look
// at the folder replaces three probes that cannot succeed. Only an absent folder counts
// as absent; any other failure (access denied, say) leaves the probes to run.
bool has_vornix_folder(const char16_t* directory) {
    constexpr uint32_t error_file_not_found = 2, error_path_not_found = 3;
    text::Growable folder;
    text::format(folder, u"%ls\\Vornix", directory);
    uint32_t attributes = platform::get_file_attributes(folder.data);
    uint32_t error = platform::get_last_error();
    text::release(folder);
    if (attributes != platform::invalid_file_attributes) return true;
    return error != error_file_not_found && error != error_path_not_found;
}

// What reading one InstallPath gave: its folder, or why not (said again in the trace when
// the same reading serves a second time).
struct InstallPathRead {
    enum Kind : uint8_t { folder, open_failed, query_failed, not_text, not_absolute } kind;
    int32_t status;
};

// The installation folder of version subkey `name`, as its InstallPath names it, into
// `directory` (kind folder); nothing is traced here.
InstallPathRead query_install_path(platform::Handle root, uint32_t access, const char16_t* name,
                                   text::Growable& directory) {
    char16_t key_path[48];
    text::format(key_path, 48, u"%ls\\%ls\\InstallPath", core_key, name);
    platform::Handle key = nullptr;
    int32_t status = platform::reg_open_key_ex(root, key_path, 0, access, &key);
    if (status != 0) return {InstallPathRead::open_failed, status};
    uint32_t type = 0, bytes = 0;
    status = query_text_value(key, nullptr, &type, directory, &bytes);
    platform::reg_close_key(key);
    if (status != 0) return {InstallPathRead::query_failed, status};
    if (type != platform::reg_sz) return {InstallPathRead::not_text, 0};
    // Only an absolute folder names an installation. An empty value or one rooted on the
    // current drive (\Z36) would probe whatever drive is current, a relative one (Z36,
    // C:Z36) the folder the user stands in, one of only separators a network host
    // (\\Vornix\win32\zelkor.exe): anyone may put a zelkor.exe there. It is not used.
    size_t length = install_path_length(directory.data, bytes);
    if (!text::is_absolute_folder(directory.data, length)) return {InstallPathRead::not_absolute, 0};
    if (directory.data[length - 1] == u'\\') --length;  // one trailing backslash only
    text::truncate(directory, length);
    return {InstallPathRead::folder, 0};
}

// The trace of a reading that gave no folder.
void trace_install_path(const char16_t* label, const char16_t* name, InstallPathRead read) {
    if (log_stream == LogStream::none || read.kind == InstallPathRead::folder || read.kind == InstallPathRead::not_text)
        return;
    char16_t key_path[48];
    text::format(key_path, 48, u"%ls\\%ls\\InstallPath", core_key, name);
    char16_t message[1024];
    uint32_t code = read.kind == InstallPathRead::not_absolute ? error_invalid_data : static_cast<uint32_t>(read.status);
    system_error_text(code, message);
    trace(read.kind == InstallPathRead::query_failed ? u"%ls\\%ls: %ls\n" : u"%ls\\%ls: %ls", label, key_path,
          message);
}

// HKEY_CURRENT_USER\Software is one key in both registry views: under WOW64 a scan meets
// each of the current user's versions twice, and reads its InstallPath once. Read twice,
// a value that an installer rewrites during the launch would name two installations where
// there is one, and lift the count of executables past what the scan has room for.
struct UserReading {
    char16_t name[8];
    InstallPathRead read;
    text::Growable directory;
};
constexpr uint32_t max_user_readings = 48;  // beyond, a version is read again
UserReading user_readings[max_user_readings];
uint32_t user_reading_count = 0;
bool user_key_met_twice = false;  // set for a scan under WOW64

// The installation folder of version subkey `name` into `directory`: false (traced) when
// the key or the value cannot be read or does not name an absolute folder.
bool read_install_path(platform::Handle root, uint32_t access, const char16_t* label, const char16_t* name,
                       text::Growable& directory) {
    bool shared = user_key_met_twice && root == platform::hkey_current_user;
    UserReading* reading = nullptr;
    for (uint32_t i = 0; i < user_reading_count && shared; ++i)
        if (text::compare(user_readings[i].name, name) == 0) reading = &user_readings[i];
    if (reading == nullptr) {
        InstallPathRead read = query_install_path(root, access, name, directory);
        trace_install_path(label, name, read);
        if (shared && user_reading_count < max_user_readings) {
            UserReading& kept = user_readings[user_reading_count++];
            text::copy(kept.name, 8, name);
            kept.read = read;
            kept.directory = text::Growable{};
            text::assign(kept.directory, text::c_str(directory));
        }
        return read.kind == InstallPathRead::folder;
    }
    trace_install_path(label, name, reading->read);
    text::assign(directory, text::c_str(reading->directory));
    return reading->read.kind == InstallPathRead::folder;
}

// Lists the executables of one installation (version subkey `name`).
void locate_installation(platform::Handle root, uint32_t access, const char16_t* label,
                         const char16_t* name) {
    char16_t version[4];
    text::copy_n(version, 4, name, 3);  // "3.10" is listed as "3.1"
    text::Growable directory;
    if (read_install_path(root, access, label, name, directory)) {
        bool skip_vornix = log_stream == LogStream::none && !has_vornix_folder(directory.data);
        for (const char16_t* const* suffix = install_layout_suffixes; *suffix != nullptr; ++suffix) {
            if (skip_vornix && suffix != install_layout_suffixes) break;
            probe_layout(version, directory.data, *suffix);
            if (installed_count >= max_installations) break;
        }
    }
    text::release(directory);
}

// ---- Discovery by need ------------------------------------------------------------------

// A version subkey seen by a by-need scan, in scan order; its InstallPath is read when a
// request reaches its version, or when it might list a later sighting's executable.
struct Sighting {
    platform::Handle root;
    uint32_t access;
    char16_t name[8];
    char16_t version[4];
    enum : uint8_t { unread, folder, none } install_path;
    text::Growable directory;  // when install_path is folder
};

// Below 25 installations, four layouts each, the cap of 100 cannot fall. Under WOW64 the
// current user's key is met twice, once per view, and the sightings are kept for both.
constexpr uint32_t max_distinct_installations = (max_installations - 1) / 4;
constexpr uint32_t max_sightings = 2 * max_distinct_installations;
Sighting sightings[max_sightings];
uint32_t sighting_count = 0;
bool by_need = false;
// The distinct versions of the sightings, greatest first, and where each one's block of the
// table lies once listed.
struct VersionGroup {
    char16_t version[4];
    bool listed;
    uint32_t first, count;
};
VersionGroup groups[max_sightings];
uint32_t group_count = 0;

// Records the version subkeys under root's ZelkorCore key, as locate_zelkors_for_key
// meets them; false when there are more than a by-need scan takes.
bool record_sightings(platform::Handle root, uint32_t access) {
    platform::Handle core = nullptr;
    if (platform::reg_open_key_ex(root, core_key, 0, access, &core) != 0) return true;
    bool fits = true;
    for (uint32_t index = 0;; ++index) {
        char16_t name[8] = {};
        int32_t status = platform::reg_enum_key(core, index, name, 8);
        if (status != 0) break;  // no more, or a failure, which ends an eager scan's walk too
        if (sighting_count == max_sightings) {
            fits = false;
            break;
        }
        Sighting& s = sightings[sighting_count++];
        s = Sighting{root, access, {}, {}, Sighting::unread, {}};
        text::copy(s.name, 8, name);
        text::copy_n(s.version, 4, name, 3);
    }
    platform::reg_close_key(core);
    return fits;
}

const char16_t* directory_of(Sighting& s) {
    if (s.install_path == Sighting::unread) {
        const char16_t* label = s.root == platform::hkey_local_machine ? u"HKLM" : u"HKCU";
        s.install_path = read_install_path(s.root, s.access, label, s.name, s.directory) ? Sighting::folder
                                                                                          : Sighting::none;
    }
    return s.install_path == Sighting::folder ? s.directory.data : nullptr;
}

// Whether a sighting before sighting `index` lists `path`, an existing file: one whose
// folder and a layout name it (A-Z folded), as an eager scan's "already found" finds it.
// Only their InstallPath values are read: the texts tell.
bool listed_earlier(uint32_t index, const char16_t* path) {
    size_t length = text::length(path);
    for (uint32_t i = 0; i < index; ++i) {
        const char16_t* directory = directory_of(sightings[i]);
        if (directory == nullptr) continue;
        size_t folder = text::length(directory);
        if (folder > length || text::compare_folded_n(directory, path, folder) != 0) continue;
        for (const char16_t* const* suffix = install_layout_suffixes; *suffix != nullptr; ++suffix) {
            size_t n = text::length(*suffix);
            if (text::compare_folded_n(path + folder, *suffix, n) == 0 &&
                text::compare_folded(path + folder + n, executable_name) == 0)
                return true;
        }
    }
    return false;
}

// Lists the executables of sighting `index`, as an eager scan lists them.
void list_sighting(uint32_t index) {
    Sighting& s = sightings[index];
    const char16_t* directory = directory_of(s);
    if (directory == nullptr) return;
    bool skip_vornix = !has_vornix_folder(directory);
    uint32_t layout = 0;
    for (const char16_t* const* suffix = install_layout_suffixes; *suffix != nullptr; ++suffix, ++layout) {
        if (skip_vornix && layout > 0) break;
        text::Growable candidate;
        text::format(candidate, u"%ls%ls%ls", directory, *suffix, executable_name);
        // The sightings are too few to reach the cap (sightings_fit_by_need); should the
        // registry change under the launcher all the same, the table still ends there.
        if (installed_count < max_installations && probe_candidate(candidate.data) &&
            !listed_earlier(index, candidate.data))
            add_entry(s.version, bits_unclassified, index * 4 + layout, candidate.data);
        text::release(candidate);
    }
}

// Orders version groups greatest first, as installation_order orders versions.
int version_order(const void* a, const void* b) {
    return text::compare(static_cast<const VersionGroup*>(b)->version, static_cast<const VersionGroup*>(a)->version);
}

// Whether the recorded sightings are few enough that the cap cannot fall, and if so their
// distinct versions, greatest first. HKEY_CURRENT_USER\Software is one key in both
// views: a subkey of the current user seen in the second view is the one seen in the
// first, and lists nothing new.
bool sightings_fit_by_need() {
    uint32_t distinct = 0;
    for (uint32_t i = 0; i < sighting_count; ++i) {
        const Sighting& s = sightings[i];
        bool again = false;
        for (uint32_t j = 0; j < i && s.root == platform::hkey_current_user; ++j)
            again = again || (sightings[j].root == s.root && sightings[j].access != s.access &&
                              text::compare(sightings[j].name, s.name) == 0);
        if (!again) ++distinct;
    }
    if (distinct > max_distinct_installations) return false;
    for (uint32_t i = 0; i < sighting_count; ++i) {
        bool seen = false;
        for (uint32_t g = 0; g < group_count; ++g) seen = seen || text::compare(groups[g].version, sightings[i].version) == 0;
        if (!seen) {
            groups[group_count] = VersionGroup{{}, false, 0, 0};
            text::copy(groups[group_count++].version, 4, sightings[i].version);
        }
    }
    platform::sort(groups, group_count, sizeof groups[0], version_order);
    return true;
}

}  // namespace

void locate_zelkors_for_key(platform::Handle root, uint32_t access) {
    const char16_t* label = root == platform::hkey_local_machine ? u"HKLM" : u"HKCU";
    platform::Handle core = nullptr;
    if (platform::reg_open_key_ex(root, core_key, 0, access, &core) != 0) {
        trace(u"locate_zelkors_for_key: unable to open ZelkorCore key in %ls\n", label);
        return;
    }
    for (uint32_t index = 0; installed_count < max_installations; ++index) {
        char16_t name[8] = {};
        int32_t status = platform::reg_enum_key(core, index, name, 8);
        if (status == platform::error_no_more_items) break;
        if (status != 0) {
            // A failed call may leave the name unterminated, or leave none: then the
            // subkey is named by its index.
            name[7] = 0;
            if (name[0] == 0) text::format(name, 8, u"#%d", static_cast<int32_t>(index));
            char16_t message[1024];
            system_error_text(static_cast<uint32_t>(status), message);
            trace(u"Can't enumerate registry key for version %ls: %ls\n", name, message);
            break;
        }
        locate_installation(root, access, label, name);
    }
    platform::reg_close_key(core);
}

int installation_order(const void* a, const void* b) {
    const auto* x = static_cast<const InstalledInterpreter*>(a);
    const auto* y = static_cast<const InstalledInterpreter*>(b);
    int by_version = text::compare(y->version, x->version);
    if (by_version != 0) return by_version;
    if (x->bits != y->bits) return y->bits - x->bits;
    return x->sequence < y->sequence ? -1 : x->sequence > y->sequence ? 1 : 0;
}

void classify_version_group(uint32_t first) {
    if (first >= installed_count || installed_interpreters[first].bits != bits_unclassified) return;
    uint32_t end = first;
    while (end < installed_count &&
           text::compare(installed_interpreters[end].version, installed_interpreters[first].version) == 0)
        classify(installed_interpreters[end++]);
    platform::sort(installed_interpreters + first, end - first, sizeof(InstalledInterpreter), installation_order);
}

void scan_installations(Classification when) {
    forget_installations();
    bool wow64 = false;
    platform::is_wow64_process(&wow64);
    user_key_met_twice = wow64;
    // The views in scan order: under WOW64 the 64-bit one first.
    const uint32_t views[] = {platform::key_read | platform::key_wow64_64key, platform::key_read};
    const platform::Handle roots[] = {platform::hkey_current_user, platform::hkey_local_machine};
    if (when == Classification::by_need) {
        bool fits = true;
        for (uint32_t view : views) {
            if (view != platform::key_read && !wow64) continue;
            for (platform::Handle root : roots) fits = fits && record_sightings(root, view);
        }
        if (fits && sightings_fit_by_need()) {
            by_need = true;
            return;
        }
        forget_installations();  // more sightings than a by-need scan takes: a lazy scan
        when = Classification::lazy;
    }
    classify_lazily = when == Classification::lazy;
    for (uint32_t view : views) {
        if (view != platform::key_read && !wow64) continue;
        trace(view == platform::key_read ? u"locating Zelkors in native registry\n"
                                         : u"locating Zelkors in 64bit registry\n");
        for (platform::Handle root : roots) locate_zelkors_for_key(root, view);
    }
    platform::sort(installed_interpreters, installed_count, sizeof(InstalledInterpreter), installation_order);
    classify_lazily = false;
}

void forget_installations() {
    installed_count = 0;
    user_reading_count = 0;
    next_sequence = 0;
    sighting_count = 0;
    group_count = 0;
    by_need = false;
}

bool scanned_by_need() { return by_need; }

uint32_t version_count() { return group_count; }

const char16_t* version_at(uint32_t rank) { return groups[rank].version; }

void list_version_group(uint32_t rank, uint32_t* first, uint32_t* count) {
    VersionGroup& group = groups[rank];
    if (!group.listed) {
        group.listed = true;
        group.first = installed_count;
        for (uint32_t i = 0; i < sighting_count; ++i)
            if (text::compare(sightings[i].version, group.version) == 0) list_sighting(i);
        group.count = installed_count - group.first;
        if (group.count > 0) classify_version_group(group.first);
    }
    *first = group.first;
    *count = group.count;
}
