// The fake platform's operations, over fake::world.
#include "support/fake_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <deque>

#include "base/diagnostics.h"
#include "base/text.h"
#include "child/program.h"
#include "discovery/installations.h"
#include "discovery/selection.h"
#include "launcher/launcher.h"
#include "script/commands.h"

namespace fake {

World world;

namespace {

struct Fault {
    Op op;
    int nth;
    uint32_t error;
};
std::vector<Fault> faults;
struct KeyFault {
    Op op;
    Root root;
    View view;
    std::u16string path;
    uint32_t error, index;
};
std::vector<KeyFault> key_faults;
int calls_made[static_cast<int>(Op::count)];
std::vector<void*> allocations;  // what the run holds of the heap
platform::ConsoleCtrlHandler control_handler = nullptr;
int batch_files_given_since_taken = 0;  // across resets

struct OpenKey {
    Root root;
    View view;
    std::u16string path;
};
std::deque<OpenKey> open_key_storage;

struct OpenFile {
    const File* file;
    size_t position;
};
std::deque<OpenFile> open_file_storage;

// Counts the call and reports the error it must fail with, or 0.
uint32_t faulted(Op op) {
    int n = ++calls_made[static_cast<int>(op)];
    for (const Fault& f : faults)
        if (f.op == op && f.nth == n) return f.error;
    return 0;
}

// A machine without long paths refuses a path of 260 units or more: 206.
bool refused_for_length(const char16_t* path) {
    if (world.long_paths || std::u16string(path).size() < 260) return false;
    world.last_error = 206;
    return true;
}

bool fail_with(Op op) {
    uint32_t error = faulted(op);
    if (error != 0) world.last_error = error;
    return error != 0;
}

std::u16string folded(const std::u16string& s) {
    std::u16string r = s;
    for (char16_t& c : r)
        if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
    return r;
}

char16_t fold(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }

// Whether `s` begins with `prefix`, A-Z folded (without copying either: the fuzz targets
// call this for every file of the world on every probe).
bool starts_folded(const std::u16string& s, const std::u16string& prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (fold(s[i]) != fold(prefix[i])) return false;
    return true;
}

bool same(const std::u16string& a, const std::u16string& b) { return a.size() == b.size() && starts_folded(a, b); }

// A value as GetPrivateProfileStringW gives it: white space around it trimmed, then one
// pair of enclosing quotes (double or single) stripped.
std::u16string as_read(std::u16string value) {
    auto space = [](char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); };
    while (!value.empty() && space(value.back())) value.pop_back();
    size_t start = 0;
    while (start < value.size() && space(value[start])) ++start;
    value.erase(0, start);
    if (value.size() >= 2 && (value[0] == u'"' || value[0] == u'\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    return value;
}

File* find_file(const std::u16string& path) {
    for (File& f : world.files)
        if (same(f.path, path)) return &f;
    return nullptr;
}

uint32_t copy_out(const std::u16string& value, char16_t* buffer, uint32_t size) {
    if (value.size() + 1 > size) return static_cast<uint32_t>(value.size() + 1);
    std::memcpy(buffer, value.c_str(), (value.size() + 1) * sizeof(char16_t));
    return static_cast<uint32_t>(value.size());
}

const std::u16string* env_value(const char16_t* name) {
    for (auto& [n, v] : world.environment)
        if (same(n, name)) return &v;
    return nullptr;
}

IniFile* find_ini(const char16_t* path) {
    for (IniFile& f : world.ini_files)
        if (same(f.path, path)) return &f;
    return nullptr;
}

// HKCU is one key in both registry views (Windows shares HKCU\Software): only the
// machine's keys differ by view.
View view_of(Root root, View view) { return root == current_user ? native_view : view; }

// The error a keyed fault gives this call, or 0.
uint32_t key_fault(Op op, Root root, View view, const std::u16string& path, uint32_t index) {
    for (const KeyFault& f : key_faults)
        if (f.op == op && f.root == root && f.view == view && same(f.path, path) && f.index == index) return f.error;
    return 0;
}

RegKey* find_value(Root root, View view, const std::u16string& path, const std::u16string& name) {
    for (RegKey& k : world.registry[root][view])
        if (same(k.path, path) && k.has_value && same(k.name, name)) return &k;
    return nullptr;
}

bool key_exists(Root root, View view, const std::u16string& path) {
    std::u16string prefix = folded(path) + u"\\";
    for (RegKey& k : world.registry[root][view])
        if (same(k.path, path) || folded(k.path).rfind(prefix, 0) == 0) return true;
    return false;
}

}  // namespace

void reset() {
    for (void* p : allocations) std::free(p);
    allocations.clear();
    faults.clear();
    key_faults.clear();
    std::memset(calls_made, 0, sizeof calls_made);
    open_key_storage.clear();
    open_file_storage.clear();
    world = World{};
    // The launcher's globals, as a new process has them.
    log_stream = LogStream::none;
    launcher_version[0] = launcher_version[1] = 0;
    forget_installations();
    custom_command_count = 0;
    for (CommandEntry& entry : custom_commands) entry = CommandEntry{};
    forget_program_folders();
    search_result = CommandEntry{};
    // Their storage went with the allocations.
    local_ini_path = global_ini_path = wrapped_script_path = venv_executable_path = text::Growable{};
}

void fail_key(Op op, Root root, View view, const std::u16string& path, uint32_t error, uint32_t index) {
    key_faults.push_back({op, root, view_of(root, view), path, error, index});
}

void fail_call(Op op, int nth, uint32_t error) {
    faults.push_back({op, calls_made[static_cast<int>(op)] + nth, error});
}

int call_count(Op op) { return calls_made[static_cast<int>(op)]; }

int take_batch_files_given() { return std::exchange(batch_files_given_since_taken, 0); }

size_t heap_blocks() { return allocations.size(); }

void set_path(const std::vector<std::u16string>& folders) {
    std::u16string path;
    for (const auto& folder : folders) path += (path.empty() ? u"" : u";") + folder;
    set_env(u"PATH", path);
}

void set_env(const std::u16string& name, const std::u16string& value) {
    for (auto& [n, v] : world.environment)
        if (same(n, name)) {
            v = value;
            return;
        }
    world.environment.emplace_back(name, value);
}

File& add_file(const std::u16string& path, const std::string& bytes) {
    world.files.push_back(File{path, bytes});
    return world.files.back();
}

void add_directory(const std::u16string& path) { add_file(path).attributes = 0x10; }

void add_reg_key(Root root, View view, const std::u16string& path) {
    world.registry[root][view_of(root, view)].push_back(RegKey{path, false, 1, "", u"", false, "", 0});
}

void add_reg_value(Root root, View view, const std::u16string& path, uint32_t type, const std::string& data,
                   const std::u16string& name) {
    world.registry[root][view_of(root, view)].push_back(RegKey{path, true, type, data, name, false, "", 0});
}

std::string reg_sz(const std::u16string& value) {
    std::string bytes(reinterpret_cast<const char*>(value.c_str()), (value.size() + 1) * 2);
    return bytes;
}

void rewrite_on_second_read(Root root, View view, const std::u16string& path, const std::string& data,
                            const std::u16string& name) {
    RegKey* key = find_value(root, view_of(root, view), path, name);
    key->rewritten = true;
    key->later_data = data;
}

void add_install(Root root, View view, const std::u16string& version, const std::u16string& install_path) {
    add_reg_value(root, view, u"SOFTWARE\\Zelkor\\ZelkorCore\\" + version + u"\\InstallPath", 1,
                  reg_sz(install_path));
}

void add_ini(const std::u16string& path, const std::u16string& section, const std::u16string& key,
             const std::u16string& value) {
    IniFile* file = find_ini(path.c_str());
    if (file == nullptr) {
        world.ini_files.push_back(IniFile{path, {}});
        file = &world.ini_files.back();
        if (find_file(path) == nullptr) add_file(path);
    }
    for (auto& [name, entries] : file->sections)
        if (same(name, section)) {
            entries.emplace_back(key, value);
            return;
        }
    file->sections.push_back({section, {{key, value}}});
}

RunResult run(std::vector<std::u16string> argv) {
    std::vector<char16_t*> pointers;
    for (auto& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    RunResult result{};
    try {
        launcher_main(static_cast<int>(argv.size()), pointers.data());
    } catch (const ExitCalled& e) {
        result.exit_code = e.code;
    }
    result.out = utf8(world.out);
    result.err = utf8(world.err);
    if (!world.child_command_lines.empty()) result.child = utf8(world.child_command_lines.back());
    return result;
}

std::string utf8(const std::u16string& s) {
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) {
            r += char(c);
        } else if (c < 0x800) {
            r += char(0xC0 | c >> 6);
            r += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            r += char(0xE0 | c >> 12);
            r += char(0x80 | ((c >> 6) & 0x3F));
            r += char(0x80 | (c & 0x3F));
        } else {
            r += char(0xF0 | c >> 18);
            r += char(0x80 | ((c >> 12) & 0x3F));
            r += char(0x80 | ((c >> 6) & 0x3F));
            r += char(0x80 | (c & 0x3F));
        }
    }
    return r;
}

// UTF-8 to UTF-16 as Windows does without MB_ERR_INVALID_CHARS: every ill-formed
// sequence becomes U+FFFD.
std::u16string utf16(const std::string& s) {
    std::u16string r;
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        unsigned c = b[i];
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool ok = extra >= 0 && i + extra < n;
        for (int k = 1; ok && k <= extra; ++k) {
            if ((b[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (b[i + k] & 0x3F);
        }
        static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (ok && (cp < least[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            r += char16_t(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            r += char16_t(0xD800 + ((cp - 0x10000) >> 10));
            r += char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            r += char16_t(cp);
        }
        i += extra + 1;
    }
    return r;
}

}  // namespace fake

// ---- The operations --------------------------------------------------------------------

using fake::Op;
using fake::world;

namespace platform {

Handle const hkey_current_user = reinterpret_cast<Handle>(0x80000001u);
Handle const hkey_local_machine = reinterpret_cast<Handle>(0x80000002u);

uint32_t get_environment_variable(const char16_t* name, char16_t* buffer, uint32_t size) {
    if (fake::fail_with(Op::get_environment_variable)) return 0;
    const std::u16string* v = fake::env_value(name);
    if (v == nullptr || v->empty()) {
        world.last_error = 203;  // ERROR_ENVVAR_NOT_FOUND
        return 0;
    }
    return fake::copy_out(*v, buffer, size);
}

bool set_environment_variable(const char16_t* name, const char16_t* value) {
    world.calls.push_back("set_environment_variable " + fake::utf8(name) + (value ? "=" + fake::utf8(value) : ""));
    if (fake::fail_with(Op::set_environment_variable)) return false;
    if (name[0] == 0 || std::u16string_view(name).find(u'=') != std::u16string_view::npos) {  // as Windows refuses
        world.last_error = 87;
        return false;
    }
    auto& environment = world.environment;
    // Windows refuses to remove a variable that is not there (Wine answers TRUE).
    if (value == nullptr && fake::env_value(name) == nullptr) {
        world.last_error = 203;  // ERROR_ENVVAR_NOT_FOUND
        return false;
    }
    std::erase_if(environment, [&](const auto& e) { return fake::same(e.first, name); });
    if (value != nullptr) environment.emplace_back(name, value);
    return true;
}

uint32_t get_module_file_name(char16_t* buffer, uint32_t size) {
    if (fake::fail_with(Op::get_module_file_name)) return 0;
    const std::u16string& p = world.module_path;
    if (p.size() + 1 > size) {  // cut and terminated, as Windows (Vista and later) does
        std::memcpy(buffer, p.c_str(), (size - 1) * sizeof(char16_t));
        buffer[size - 1] = 0;
        world.last_error = error_insufficient_buffer;
        return size;
    }
    return fake::copy_out(p, buffer, size);
}

uint32_t get_long_path_name(const char16_t* path, char16_t* buffer, uint32_t size) {
    if (fake::fail_with(Op::get_long_path_name)) return 0;
    for (auto& [short_path, long_path] : world.long_paths_of)
        if (fake::same(short_path, path)) return fake::copy_out(long_path, buffer, size);
    if (fake::find_file(path) == nullptr) {
        world.last_error = 2;
        return 0;
    }
    return fake::copy_out(path, buffer, size);
}

uint32_t get_final_path_name_by_handle(Handle file, char16_t* buffer, uint32_t size) {
    if (fake::fail_with(Op::get_final_path_name_by_handle)) return 0;
    const fake::File* opened = static_cast<fake::OpenFile*>(file)->file;
    for (auto& [path, final_path] : world.final_paths)
        if (fake::same(path, opened->path)) return fake::copy_out(final_path, buffer, size);
    return fake::copy_out(u"\\\\?\\" + opened->path, buffer, size);
}

const char16_t* get_command_line() { return world.command_line.c_str(); }

bool is_wow64_process(bool* wow64) {
    *wow64 = false;
    if (fake::fail_with(Op::is_wow64_process)) return false;
    *wow64 = world.wow64;
    return true;
}

uint32_t get_file_version_info_size(const char16_t*) {
    if (fake::fail_with(Op::get_file_version_info_size)) return 0;
    if (!world.has_version_resource) {
        world.last_error = 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND
        return 0;
    }
    return 64;
}

bool get_file_version_info(const char16_t*, uint32_t, void*) {
    return !fake::fail_with(Op::get_file_version_info);
}

bool ver_query_file_version(void*, uint32_t* most_significant, uint32_t* least_significant) {
    if (fake::fail_with(Op::ver_query_file_version)) return false;
    *most_significant = world.version_ms;
    *least_significant = world.version_ls;
    return true;
}

void restrict_dll_search() { world.calls.push_back("restrict_dll_search"); }

void lift_dll_directory_for_child(bool lifted) {
    world.calls.push_back(lifted ? "dll_directory lifted" : "dll_directory restricted");
}

bool get_user_sid_string(char16_t* buffer, uint32_t size) {
    if (fake::fail_with(Op::get_user_sid_string) || world.user_sid.empty()) return false;
    return fake::copy_out(world.user_sid, buffer, size) < size;
}

int32_t sh_get_folder_path(int, uint32_t, char16_t* path) {
    fake::faulted(Op::sh_get_folder_path);  // counted only
    if (world.appdata_result != 0) return world.appdata_result;
    fake::copy_out(world.appdata.substr(0, 259), path, 260);
    return 0;
}

uint32_t get_file_attributes(const char16_t* path) {
    if (fake::fail_with(Op::get_file_attributes) || fake::refused_for_length(path)) return invalid_file_attributes;
    const fake::File* f = fake::find_file(path);
    if (f != nullptr) return f->attributes;
    // The folders that hold files exist too.
    std::u16string prefix = std::u16string(path) + u"\\";
    for (const fake::File& file : world.files)
        if (fake::starts_folded(file.path, prefix)) return file_attribute_directory;
    world.last_error = 2;  // ERROR_FILE_NOT_FOUND
    return invalid_file_attributes;
}

bool get_binary_type(const char16_t* path, uint32_t* type) {
    if (fake::fail_with(Op::get_binary_type) || fake::refused_for_length(path)) return false;
    const fake::File* f = fake::find_file(path);
    if (f == nullptr || !f->binary_type_known) {
        world.last_error = 193;  // ERROR_BAD_EXE_FORMAT
        return false;
    }
    *type = f->binary_type;
    return true;
}

uint32_t get_system_directory(char16_t* buffer, uint32_t size) {
    if (fake::fail_with(Op::get_system_directory)) return 0;
    return fake::copy_out(world.system_directory, buffer, size);
}

uint32_t get_system_windows_directory(char16_t* buffer, uint32_t size) { return fake::copy_out(world.windows_directory, buffer, size); }

uint32_t get_private_profile_string(const char16_t* section, const char16_t* key,
                                    const char16_t* default_text, char16_t* buffer, uint32_t size,
                                    const char16_t* file) {
    fake::faulted(Op::get_private_profile_string);  // counted only
    const fake::IniFile* ini = fake::refused_for_length(file) ? nullptr : fake::find_ini(file);
    const std::vector<std::pair<std::u16string, std::u16string>>* entries = nullptr;
    if (ini != nullptr)
        for (auto& [name, e] : ini->sections)
            if (fake::same(name, section)) entries = &e;
    if (key == nullptr) {
        // The key names, each terminated, and an empty one; cut lists end in two NULs.
        std::u16string list;
        if (entries != nullptr)
            for (auto& [k, v] : *entries) list += k + u'\0';
        if (list.size() + 1 <= size) {
            std::memcpy(buffer, list.c_str(), (list.size() + 1) * sizeof(char16_t));
            return static_cast<uint32_t>(list.size());
        }
        std::memcpy(buffer, list.c_str(), (size - 2) * sizeof(char16_t));
        buffer[size - 2] = 0;
        buffer[size - 1] = 0;
        return size - 2;
    }
    std::u16string value = default_text != nullptr ? default_text : u"";
    if (entries != nullptr)
        for (auto it = entries->begin(); it != entries->end(); ++it)
            if (fake::same(it->first, key)) {
                value = fake::as_read(it->second);
                break;
            }
    if (value.size() + 1 <= size) return fake::copy_out(value, buffer, size);
    std::memcpy(buffer, value.c_str(), (size - 1) * sizeof(char16_t));
    buffer[size - 1] = 0;
    return size - 1;
}

int open_file_for_reading(const char16_t* path, Handle* file) {
    *file = nullptr;
    if (uint32_t error = fake::faulted(Op::open_file_for_reading)) return static_cast<int>(error);
    if (fake::refused_for_length(path)) return 2;
    const fake::File* f = fake::find_file(path);
    if (f == nullptr) return 2;                                   // ENOENT
    if (f->attributes & file_attribute_directory) return 13;      // EACCES
    fake::open_file_storage.push_back({f, 0});
    *file = &fake::open_file_storage.back();
    return 0;
}

size_t read_file(void* buffer, size_t size, Handle file) {
    auto* f = static_cast<fake::OpenFile*>(file);
    if (fake::fail_with(Op::read_file)) return 0;  // a read error is a short read
    size_t n = std::min(size, f->file->bytes.size() - f->position);
    std::memcpy(buffer, f->file->bytes.data() + f->position, n);
    f->position += n;
    return n;
}

void close_file(Handle file) {
    world.calls.push_back("close_file");
    static_cast<fake::OpenFile*>(file)->file = nullptr;
}

int32_t reg_open_key_ex(Handle root, const char16_t* subkey, uint32_t, uint32_t access, Handle* key) {
    *key = nullptr;
    if (uint32_t error = fake::faulted(Op::reg_open_key_ex)) return static_cast<int32_t>(error);
    fake::Root r = root == hkey_local_machine ? fake::local_machine : fake::current_user;
    fake::View v = fake::view_of(r, (access & 0x100) ? fake::view_64 : fake::native_view);
    if (uint32_t error = fake::key_fault(Op::reg_open_key_ex, r, v, subkey, 0)) return static_cast<int32_t>(error);
    if (!fake::key_exists(r, v, subkey)) return 2;
    fake::open_key_storage.push_back({r, v, subkey});
    *key = &fake::open_key_storage.back();
    ++world.open_keys;
    return 0;
}

int32_t reg_enum_key(Handle key, uint32_t index, char16_t* name, uint32_t size) {
    if (uint32_t error = fake::faulted(Op::reg_enum_key)) return static_cast<int32_t>(error);
    auto* k = static_cast<fake::OpenKey*>(key);
    if (uint32_t error = fake::key_fault(Op::reg_enum_key, k->root, k->view, k->path, index))
        return static_cast<int32_t>(error);
    // The direct subkeys, in the order they were added.
    std::vector<std::u16string> children;
    std::u16string prefix = fake::folded(k->path) + u"\\";
    for (const fake::RegKey& entry : world.registry[k->root][k->view]) {
        if (fake::folded(entry.path).rfind(prefix, 0) != 0) continue;
        std::u16string child = entry.path.substr(prefix.size());
        child = child.substr(0, child.find(u'\\'));
        bool seen = false;
        for (auto& c : children) seen = seen || fake::same(c, child);
        if (!seen) children.push_back(child);
    }
    if (index >= children.size()) return error_no_more_items;
    if (children[index].size() + 1 > size) {  // the buffer is left full and unterminated
        std::memcpy(name, children[index].data(), size * sizeof(char16_t));
        return error_more_data;
    }
    fake::copy_out(children[index], name, size);
    return 0;
}

int32_t reg_query_value_ex(Handle key, const char16_t* value_name, uint32_t* type, void* data,
                           uint32_t* size) {
    if (uint32_t error = fake::faulted(Op::reg_query_value_ex)) return static_cast<int32_t>(error);
    auto* k = static_cast<fake::OpenKey*>(key);
    if (uint32_t error = fake::key_fault(Op::reg_query_value_ex, k->root, k->view, k->path, 0))
        return static_cast<int32_t>(error);
    fake::RegKey* entry = fake::find_value(k->root, k->view, k->path, value_name != nullptr ? value_name : u"");
    if (entry == nullptr) return 2;
    *type = entry->type;
    const std::string& bytes = entry->rewritten && entry->reads++ > 0 ? entry->later_data : entry->data;
    uint32_t offered = *size;
    *size = static_cast<uint32_t>(bytes.size());
    if (bytes.size() > offered) return error_more_data;
    std::memcpy(data, bytes.data(), bytes.size());
    return 0;
}

int32_t reg_close_key(Handle) {
    --world.open_keys;
    return 0;
}

uint32_t get_last_error() { return world.last_error; }

uint32_t format_message(uint32_t, uint32_t code, uint32_t, char16_t* buffer, uint32_t size) {
    std::u16string text;
    switch (code) {
        case 2: text = u"The system cannot find the file specified.\r\n"; break;
        case 5: text = u"Access is denied.\r\n"; break;
        case 13: text = u"The data is invalid.\r\n"; break;
        case 234: text = u"More data is available.\r\n"; break;
        case 1813: text = u"The specified resource type cannot be found in the image file.\r\n"; break;
        default: return 0;  // no system text
    }
    return fake::copy_out(text, buffer, size) < size ? static_cast<uint32_t>(text.size()) : 0;
}

int multi_byte_to_wide_char(uint32_t, uint32_t, const char* bytes, int byte_count, char16_t* out,
                            int out_size) {
    if (fake::fail_with(Op::multi_byte_to_wide_char)) return 0;
    std::u16string decoded = fake::utf16(std::string(bytes, static_cast<size_t>(byte_count)));
    if (decoded.size() > static_cast<size_t>(out_size)) {
        world.last_error = error_insufficient_buffer;
        return 0;
    }
    std::memcpy(out, decoded.data(), decoded.size() * sizeof(char16_t));
    return static_cast<int>(decoded.size());
}

Handle create_job_object() {
    world.calls.push_back("create_job_object");
    if (fake::fail_with(Op::create_job_object)) return nullptr;
    return reinterpret_cast<Handle>(0x100);
}

bool query_information_job_object(Handle, int information_class, void* info, uint32_t size,
                                  uint32_t* returned) {
    world.calls.push_back("query_information_job_object");
    if (fake::fail_with(Op::query_information_job_object)) return false;
    if (information_class != job_object_extended_limit_information || size != sizeof(JobExtendedLimits))
        return false;
    auto* limits = static_cast<JobExtendedLimits*>(info);
    *limits = JobExtendedLimits{};
    limits->basic.limit_flags = world.job_initial_flags;
    *returned = size;
    return true;
}

bool set_information_job_object(Handle, int, void* info, uint32_t) {
    world.calls.push_back("set_information_job_object");
    if (fake::fail_with(Op::set_information_job_object)) return false;
    world.job_flags_set = static_cast<JobExtendedLimits*>(info)->basic.limit_flags;
    return true;
}

bool assign_process_to_job_object(Handle, Handle) {
    if (world.console_event_on_join >= 0) {  // the child created suspended, not yet in the job
        world.calls.push_back("console event " + std::to_string(world.console_event_on_join));
        world.handler_returned = fake::control_handler(static_cast<uint32_t>(std::exchange(world.console_event_on_join, -1)));
    }
    world.calls.push_back("assign_process_to_job_object");
    return !fake::fail_with(Op::assign_process_to_job_object);
}

Handle get_std_handle(uint32_t which) { return world.std_handles[std_input_handle - which]; }

Handle get_current_process() { return reinterpret_cast<Handle>(-1); }

bool duplicate_handle(Handle, Handle source, Handle, Handle* target, uint32_t, bool, uint32_t) {
    world.calls.push_back("duplicate_handle");
    if (fake::fail_with(Op::duplicate_handle)) return false;
    if (source == nullptr) {
        world.last_error = error_invalid_handle;
        return false;
    }
    // -1 is the current process's pseudo-handle: Windows duplicates it (a real handle to
    // the process).
    *target = reinterpret_cast<Handle>(reinterpret_cast<uintptr_t>(source) + 0x1000);
    return true;
}

bool set_console_ctrl_handler(ConsoleCtrlHandler handler, bool add) {
    world.calls.push_back("set_console_ctrl_handler");
    if (fake::fail_with(Op::set_console_ctrl_handler)) return false;
    fake::control_handler = handler;
    if (world.console_event_on_install >= 0) {
        world.calls.push_back("console event " + std::to_string(world.console_event_on_install));
        world.handler_returned = handler(static_cast<uint32_t>(world.console_event_on_install));
    }
    return handler != nullptr && add;
}

// The calls log names the way and whether the child was created suspended, so that a
// test sees whether it could have run before it was in the job.
//
// A batch file given as the program starts what Windows starts for it: the system
// folder's cmd.exe, with the line after "/c" as it stands, unquoted (the launcher must
// never do this: world.batch_files_given counts it, and the unit tests fail on it).
bool create_process(const char16_t* application_name, char16_t* command_line, bool, uint32_t creation_flags,
                    StartupInfo* startup, ProcessInformation* process) {
    world.calls.push_back(std::string("create_process") + (creation_flags & create_suspended ? " suspended" : ""));
    std::u16string program = application_name != nullptr ? application_name : u"(none)";
    std::u16string line = command_line;
    std::u16string name = program;
    if (program.compare(0, 4, u"\\\\?\\") != 0)  // Windows drops those but in the \\?\ form
        name = program.substr(0, program.find_last_not_of(u". ") + 1);
    std::u16string extension = fake::folded(name.substr(name.size() < 4 ? 0 : name.size() - 4));
    if (extension == u".bat" || extension == u".cmd") {
        ++world.batch_files_given;
        ++fake::batch_files_given_since_taken;
        program = world.system_directory + u"\\cmd.exe";
        line = program + u" /c " + line;
    }
    world.child_command_lines.push_back(line);
    world.child_programs.push_back(program);
    world.child_startup = *startup;
    world.child_creation_flags = creation_flags;
    if (fake::fail_with(Op::create_process)) return false;
    process->process = reinterpret_cast<Handle>(0x200);
    process->thread = reinterpret_cast<Handle>(0x204);
    process->process_id = 0x1234;
    return true;
}

// Refused (a Windows before 10 1607) when the test fails it, typically with 87.
bool create_process_in_job(const char16_t* application_name, char16_t* command_line, bool inherit,
                           uint32_t creation_flags, StartupInfo* startup, ProcessInformation* process, Handle job) {
    if (fake::fail_with(Op::create_process_in_job)) {
        world.calls.push_back("create_process_in_job refused");
        return false;
    }
    bool ok = create_process(application_name, command_line, inherit, creation_flags, startup, process);
    world.calls.back() += job != nullptr ? " in job" : " in no job";
    return ok;
}

uint32_t resume_thread(Handle) {
    if (world.console_event_on_resume >= 0) {  // before the child runs its first instruction
        world.calls.push_back("console event " + std::to_string(world.console_event_on_resume));
        world.handler_returned = fake::control_handler(static_cast<uint32_t>(std::exchange(world.console_event_on_resume, -1)));
    }
    world.calls.push_back("resume_thread");
    return fake::fail_with(Op::resume_thread) ? resume_failed : 1;
}

bool set_process_shutdown_parameters(uint32_t level, uint32_t) {
    world.calls.push_back("set_process_shutdown_parameters " + std::to_string(level));
    return !fake::fail_with(Op::set_process_shutdown_parameters);
}

bool terminate_process(Handle, uint32_t exit_code) {
    world.calls.push_back("terminate_process " + std::to_string(exit_code));
    world.child_exit_code = exit_code;  // the only process the launcher ends is its child
    return true;
}

// The NUL device, whose handles are 0x300, 0x304, ..., and the world's files (for their
// final path).
Handle create_file(const char16_t* path, uint32_t access, uint32_t, bool inherit, uint32_t, uint32_t) {
    world.calls.push_back("create_file " + fake::utf8(path) + (inherit ? " inheritable" : ""));
    if (fake::fail_with(Op::create_file)) return invalid_handle_value;
    if (fake::utf8(path) == "NUL" && access != 0)
        return reinterpret_cast<Handle>(0x300 + 4 * fake::call_count(Op::create_file) - 4);
    if (const fake::File* f = fake::find_file(path)) {
        fake::open_file_storage.push_back({f, 0});
        return &fake::open_file_storage.back();
    }
    world.last_error = 2;
    return invalid_handle_value;
}

void get_startup_info(StartupInfo* startup) { *startup = world.own_startup; }

bool get_window_station_flags(uint32_t* flags) {
    if (fake::fail_with(Op::get_window_station_flags)) return false;
    *flags = world.station_visible ? 1 : 0;
    return true;
}

int message_box(const char16_t* text, const char16_t* caption, uint32_t type) {
    world.message_boxes.push_back(fake::utf8(caption) + "|" + fake::utf8(text) + "|" + std::to_string(type));
    return 1;  // IDOK
}

bool allow_set_foreground_window(uint32_t process_id) {
    world.calls.push_back("allow_set_foreground_window " + std::to_string(process_id));
    return !fake::fail_with(Op::allow_set_foreground_window);
}

bool prepare_foreground_grant() {
    world.calls.push_back("prepare_foreground_grant");
    return !fake::fail_with(Op::prepare_foreground_grant);
}

bool close_handle(Handle) {
    world.calls.push_back("close_handle");
    return true;
}

// The event of console_event_during_wait reaches the handler, on "its own thread", while
// the launcher waits for the child; a wait on the launcher's own process is named so.
uint32_t wait_for_single_object_ex(Handle handle, uint32_t, bool) {
    world.calls.push_back(handle == get_current_process() ? "wait_for_single_object_ex self"
                                                          : "wait_for_single_object_ex");
    if (world.console_event_during_wait >= 0 && handle != get_current_process()) {
        auto event = static_cast<uint32_t>(world.console_event_during_wait);
        world.console_event_during_wait = -1;
        world.calls.push_back("console event " + std::to_string(event));
        world.handler_returned = fake::control_handler(event);
    }
    return 0;
}

bool get_exit_code_process(Handle, uint32_t* exit_code) {
    world.calls.push_back("get_exit_code_process");
    if (fake::fail_with(Op::get_exit_code_process)) return false;
    *exit_code = world.child_exit_code;
    return true;
}

// Sorts as qsort may, at its least convenient: records that compare equal end in the
// reverse of their order before the sort, so that a caller counting on any order of ties
// is caught.
void sort(void* base, size_t count, size_t size, int (*compare)(const void*, const void*)) {
    auto* bytes = static_cast<unsigned char*>(base);
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i) order[i] = i;
    auto at = [&](size_t i) { return bytes + i * size; };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return compare(at(a), at(b)) < 0; });
    for (size_t start = 0, end; start < count; start = end) {
        for (end = start + 1; end < count && compare(at(order[start]), at(order[end])) == 0;) ++end;
        std::reverse(order.begin() + start, order.begin() + end);
    }
    std::vector<unsigned char> sorted(count * size);
    for (size_t i = 0; i < count; ++i) std::memcpy(sorted.data() + i * size, at(order[i]), size);
    if (count > 0) std::memcpy(base, sorted.data(), sorted.size());
}

void* allocate(size_t bytes) {
    if (fake::fail_with(Op::allocate)) return nullptr;
    if (bytes == world.failing_allocation_bytes) {
        world.failing_allocation_bytes = 0;
        return nullptr;
    }
    void* p = std::calloc(bytes == 0 ? 1 : bytes, 1);
    fake::allocations.push_back(p);
    return p;
}

void release(void* block) {
    for (auto it = fake::allocations.begin(); it != fake::allocations.end(); ++it)
        if (*it == block) {
            fake::allocations.erase(it);
            break;
        }
    std::free(block);
}

void write_text(Stream stream, const char16_t* text, size_t length) {
    (stream == Stream::output ? world.out : world.err).append(text, length);
    world.longest_write = std::max(world.longest_write, length);
    if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) world.split_pairs++;
}

[[noreturn]] void exit_process(uint32_t code) { throw fake::ExitCalled{code}; }

}  // namespace platform
