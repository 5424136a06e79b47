// Version matching and configured defaults. Portable code only.
#include "discovery/selection.h"

#include "base/diagnostics.h"
#include "base/text.h"
#include "platform/platform.h"

text::Growable local_ini_path;
text::Growable global_ini_path;
char16_t default_key[8] = u"zelkorX";
char16_t configured_value[1024];

namespace {

// Whether `version` and the request agree over the shorter of the two.
bool version_matches(const char16_t* version, const char16_t* request) {
    size_t version_length = text::length(version), request_length = text::length(request);
    return text::compare_n(version, request, version_length < request_length ? version_length : request_length) == 0;
}

bool fits(const InstalledInterpreter& entry, bool only_32_bit) {
    return entry.bits > 0 && (!only_32_bit || entry.bits == 32);
}

}  // namespace

const InstalledInterpreter* match_installed(const char16_t* request) {
    bool only_32_bit = text::find_text(request, u"-32") != nullptr;
    if (scanned_by_need()) {
        // The versions greatest first, as the table of an eager scan orders them; only
        // those that match are listed.
        for (uint32_t rank = 0; rank < version_count(); ++rank) {
            if (!version_matches(version_at(rank), request)) continue;
            uint32_t first = 0, count = 0;
            list_version_group(rank, &first, &count);
            for (uint32_t i = first; i < first + count; ++i)
                if (fits(installed_interpreters[i], only_32_bit)) return &installed_interpreters[i];
        }
        return nullptr;
    }
    for (uint32_t i = 0; i < installed_count; ++i) {
        const InstalledInterpreter& entry = installed_interpreters[i];
        if (!version_matches(entry.version, request)) continue;
        classify_version_group(i);  // a lazy scan's candidates: now their bits are needed
        if (fits(entry, only_32_bit)) return &entry;
    }
    return nullptr;
}

namespace {

// Whether the table lists any executable: an eager scan that found nothing leaves it
// empty, and the next request scans again. A lazy scan's table may hold only candidates
// that turn out rejected; they are classified, greatest version first, until one is not,
// so that the scan is repeated exactly when an eager one would be; a by-need scan lists
// its versions, greatest first, until one lists an executable. The empty request, which
// every version matches, walks the table so.
bool lists_an_executable() { return match_installed(u"") != nullptr; }

}  // namespace

const char16_t* lookup_configured_default() {
    text::format(configured_value, 1024, u"zk_%ls", default_key);
    const char16_t* value = read_env_var(configured_value);
    const char16_t* source = u"environment";
    if (value == nullptr) {
        const char16_t* const files[] = {text::c_str(local_ini_path), text::c_str(global_ini_path)};  // per-user first
        for (const char16_t* file : files) {
            if (file[0] == 0) continue;
            if (platform::get_private_profile_string(u"defaults", default_key, nullptr, configured_value,
                                                     1024, file) > 0) {
                value = configured_value;
                source = file;
                break;
            }
        }
    }
    if (value == nullptr) {
        trace(u"found no configured value for '%ls'\n", default_key);
        return nullptr;
    }
    trace(u"found configured value '%ls=%ls' in %ls\n", default_key, value, source);
    return value;
}

const InstalledInterpreter* select_interpreter(const char16_t* request, bool prefer_major_2) {
    size_t request_length = text::length(request);
    if (!lists_an_executable())
        scan_installations(log_stream == LogStream::none ? Classification::by_need : Classification::eager);

    if (request_length == 1) {
        default_key[6] = request[0];
        if (const char16_t* configured = lookup_configured_default()) request = configured;
    }
    if (request[0] != 0) {
        const InstalledInterpreter* found = match_installed(request);
        trace(u"search for Zelkor version '%ls' found ", request);
        if (found != nullptr)
            trace(u"'%ls'\n", found->executable);
        else
            trace(u"no interpreter\n");
        return found;
    }

    default_key[6] = 0;
    const InstalledInterpreter* found = nullptr;
    if (const char16_t* configured = lookup_configured_default()) found = match_installed(configured);
    if (found == nullptr) found = match_installed(prefer_major_2 ? u"2" : u"3");
    if (found == nullptr) found = match_installed(prefer_major_2 ? u"3" : u"2");
    trace(u"search for default Zelkor found ");
    if (found != nullptr)
        trace(u"version %ls at '%ls'\n", found->version, found->executable);
    else
        trace(u"no interpreter\n");
    return found;
}
