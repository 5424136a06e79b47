// Fuzz target, differential: the registry scan that reads everything as it finds it (the
// trace on) against the one that reads an InstallPath, its layouts and their binary types
// only when a request reaches its version (the trace off: by need, or lazy where the
// sightings are too many). From the fuzzer's bytes: a registry world (both
// roots and views, WOW64 or not, version subkeys that collide, that are cut to three
// characters or that are too long to enumerate, InstallPath values in every form, shared
// directories named in other case, files in the four layouts with every binary type,
// failed registry calls, values rewritten between two reads, more than 100 executables)
// and a run's requests (the default,
// one character with configured defaults, D.D, D.D-32, either prefer_major_2). Both
// scans must answer every request alike, to the executable: ties go to the first sighting,
// and the fake's sort reverses ties, so any dependence on their order shows. Pointers
// handed out must keep their entry, the trace-off scan never reads more types, and
// once classified whole its table lists exactly what the eager one does.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/diagnostics.h"
#include "discovery/selection.h"
#include "support/fake_platform.h"

namespace {

struct Bytes {
    const uint8_t* p;
    size_t n;
    uint8_t next() { return n == 0 ? 0 : (--n, *p++); }
};

struct Directory {
    std::u16string path;
    uint8_t layouts, types;  // layout bits 0-3, bit 4: the first is a folder; 2 bits of type each
};
struct Installation {
    uint8_t where, name, directory, form;
};
// A registry call that fails: every call on one key (the scans make different calls, in
// different orders, but meet the same broken keys), or the nth call of IsWow64Process.
struct Fault {
    fake::Op op;
    int nth;
    uint32_t error;
    uint8_t target;  // which key: an installation's InstallPath, or a root and view's ZelkorCore
};
struct Request {
    std::u16string text;
    bool prefer_major_2;
};
struct Input {
    bool wow64;
    std::vector<Directory> directories;
    std::vector<Installation> installations;
    std::vector<Fault> faults;
    std::u16string defaults[3];  // zk_zelkor, zk_zelkor2, zk_zelkor3; empty when unset
    std::vector<Request> requests;
};

const char16_t* const layout_suffixes[] = {u"\\", u"\\Vornix\\win32\\", u"\\Vornix\\amd64\\", u"\\Vornix\\"};

std::u16string version_text(uint8_t b) {
    static const char16_t* const suffixes[] = {u"", u"-32", u"0", u"-beta1"};  // 3.10, and too long
    std::u16string v = {b & 1 ? u'3' : u'2', u'.', char16_t(u'0' + (b >> 1) % 10)};
    return v + suffixes[(b >> 1) / 10 % 4];
}

std::u16string directory_path(size_t index, uint8_t layouts) {
    std::u16string n = fake::utf16(std::to_string(index));
    if (index == 7) return u"C:\\a " + std::u16string(300, u'y');  // longer than MAX_PATH, quoted
    return (layouts & 0x20 ? u"C:\\Program Files\\Z" : u"C:\\Z") + n;
}

Input parse(Bytes in) {
    Input input;
    input.wow64 = in.next() & 1;
    for (size_t i = 0, n = 1 + in.next() % 48; i < n; ++i) {
        uint8_t layouts = in.next();
        input.directories.push_back({directory_path(i, layouts), layouts, in.next()});
    }
    for (size_t i = 0, n = in.next() % 64; i < n; ++i)
        input.installations.push_back({in.next(), in.next(), in.next(), in.next()});
    static const fake::Op ops[] = {fake::Op::reg_open_key_ex, fake::Op::reg_enum_key, fake::Op::reg_query_value_ex,
                                   fake::Op::is_wow64_process};
    static const uint32_t errors[] = {2, 5, 234, 13};
    for (size_t i = 0, n = in.next() % 4; i < n; ++i) {
        uint8_t b = in.next();
        input.faults.push_back({ops[b % 4], 1 + in.next() % 64, errors[(b >> 2) % 4], in.next()});
    }
    for (std::u16string& value : input.defaults) {
        uint8_t b = in.next();
        if (b & 1) value = b & 2 ? std::u16string(1, char16_t(u'2' + (b >> 2) % 3)) : version_text(b >> 2);
    }
    while (in.n > 0 && input.requests.size() < 8) {
        uint8_t b = in.next();
        std::u16string text;
        switch (b % 4) {
        case 0: break;
        case 1: text = std::u16string(1, char16_t(u'2' + (b >> 2) % 3)); break;
        case 2: text = version_text(in.next()).substr(0, 3); break;
        case 3: text = version_text(in.next()).substr(0, (b & 0x40) ? 1 : 3) + u"-32"; break;
        }
        input.requests.push_back({text, (b & 0x80) != 0});
    }
    return input;
}

void build(const Input& input) {
    fake::world.wow64 = input.wow64;
    static const uint32_t types[] = {6, 0, 1, 0xFFFFFFFF};  // 64-bit, 32-bit, DOS, unreadable
    for (const Directory& d : input.directories)
        for (int layout = 0; layout < 4; ++layout) {
            if (!(d.layouts >> layout & 1)) continue;
            std::u16string path = d.path + layout_suffixes[layout] + u"zelkor.exe";
            if (layout == 0 && d.layouts & 0x10) {
                fake::add_directory(path);
                continue;
            }
            fake::File& f = fake::add_file(path);
            uint32_t type = types[d.types >> 2 * layout & 3];
            f.binary_type_known = type != 0xFFFFFFFF;
            f.binary_type = type;
        }
    for (const Installation& i : input.installations) {
        fake::Root root = i.where & 1 ? fake::local_machine : fake::current_user;
        fake::View view = i.where & 2 ? fake::view_64 : fake::native_view;
        std::u16string key = u"SOFTWARE\\Zelkor\\ZelkorCore\\" + version_text(i.name) + u"\\InstallPath";
        std::u16string dir = input.directories[i.directory % input.directories.size()].path;
        switch (i.form % 12) {
        case 0: for (char16_t& c : dir) c = c < 128 ? char16_t(tolower(c)) : c; break;
        case 1: for (char16_t& c : dir) c = c < 128 ? char16_t(toupper(c)) : c; break;
        case 2: dir += u"\\"; break;
        case 3: dir += u"\\\\"; break;
        case 4: fake::add_reg_value(root, view, key, 2, fake::reg_sz(dir)); continue;  // REG_EXPAND_SZ
        case 5: fake::add_reg_key(root, view, key); continue;                          // no value
        case 6: fake::add_reg_value(root, view, key, 1, fake::reg_sz(u"")); continue;
        case 7: fake::add_reg_value(root, view, key, 1, fake::reg_sz(dir).substr(0, dir.size() * 2)); continue;
        case 8:  // an installer rewriting the value while the launcher runs: another folder from the second read on
            fake::add_reg_value(root, view, key, 1, fake::reg_sz(dir));
            fake::rewrite_on_second_read(
                root, view, key, fake::reg_sz(input.directories[(i.directory + 1u) % input.directories.size()].path));
            continue;
        default: break;
        }
        fake::add_reg_value(root, view, key, 1, fake::reg_sz(dir));
    }
    static const char16_t* const names[] = {u"zk_zelkor", u"zk_zelkor2", u"zk_zelkor3"};
    for (int k = 0; k < 3; ++k)
        if (!input.defaults[k].empty()) fake::set_env(names[k], input.defaults[k]);
    for (const Fault& f : input.faults) {
        if (f.op == fake::Op::is_wow64_process) {
            fake::fail_call(f.op, f.nth, f.error);
            continue;
        }
        fake::Root root = f.target & 1 ? fake::local_machine : fake::current_user;
        fake::View view = f.target & 2 ? fake::view_64 : fake::native_view;
        std::u16string key = u"SOFTWARE\\Zelkor\\ZelkorCore";
        bool install_path = f.op == fake::Op::reg_query_value_ex || (f.target & 4);
        if (install_path && !input.installations.empty()) {
            const Installation& i = input.installations[(f.target >> 3) % input.installations.size()];
            root = i.where & 1 ? fake::local_machine : fake::current_user;
            view = i.where & 2 ? fake::view_64 : fake::native_view;
            key += u"\\" + version_text(i.name) + u"\\InstallPath";
        }
        fake::fail_key(f.op, root, view, key, f.error, f.op == fake::Op::reg_enum_key ? f.nth % 16 : 0);
    }
}

// An entry as the next run's reset cannot touch: its texts copied out of the fake's heap.
struct Seen {
    std::u16string version;
    int32_t bits = 0;
    std::u16string executable;
    bool operator==(const Seen&) const = default;
};
Seen seen(const InstalledInterpreter& e) { return {e.version, e.bits, e.executable}; }

struct Answer {
    const InstalledInterpreter* entry;  // valid until the run ends
    Seen copy;
};

struct Run {
    std::vector<Answer> answers;
    std::vector<Seen> table;  // as the run ends
    int binary_types_read;
};

Run run(const Input& input, bool trace_on) {
    fake::reset();
    build(input);
    log_stream = trace_on ? LogStream::standard_error : LogStream::none;
    Run r;
    for (const Request& q : input.requests) {
        const InstalledInterpreter* e = select_interpreter(q.text.c_str(), q.prefer_major_2);
        r.answers.push_back({e, e != nullptr ? seen(*e) : Seen{}});
    }
    for (const Answer& a : r.answers)  // what was handed out is still there
        if (a.entry != nullptr && !(seen(*a.entry) == a.copy)) abort();
    r.binary_types_read = fake::call_count(fake::Op::get_binary_type);
    // Listed and classified whole, the trace-off table lists what the eager one does.
    if (scanned_by_need())
        for (uint32_t rank = 0; rank < version_count(); ++rank) {
            uint32_t first = 0, count = 0;
            list_version_group(rank, &first, &count);
        }
    for (uint32_t i = 0; i < installed_count; ++i) classify_version_group(i);
    for (uint32_t i = 0; i < installed_count; ++i)
        if (installed_interpreters[i].bits > 0) r.table.push_back(seen(installed_interpreters[i]));
    std::sort(r.table.begin(), r.table.end(),
              [](const Seen& a, const Seen& b) { return a.executable < b.executable; });
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input = parse(Bytes{data, size});
    Run eager = run(input, true);
    Run lazy = run(input, false);
    for (size_t i = 0; i < input.requests.size(); ++i) {
        const Answer &e = eager.answers[i], &l = lazy.answers[i];
        if ((e.entry == nullptr) != (l.entry == nullptr)) abort();
        if (e.entry == nullptr) continue;
        if (!(e.copy == l.copy)) abort();
    }
    if (lazy.binary_types_read > eager.binary_types_read) abort();
    if (lazy.table.size() != eager.table.size()) abort();
    if (lazy.table != eager.table) abort();
    fake::reset();
    return 0;
}
