// Version requests, configured defaults and the default road.
#include "discovery/selection.h"

#include "base/diagnostics.h"
#include "launcher_fixture.h"

using fake::utf8;

namespace {

struct Installed {
    const char16_t* version;
    int32_t bits;
    const char16_t* executable;
};

// An already sorted table, as a scan leaves it.
void fill(const std::vector<Installed>& rows) {
    installed_count = 0;
    for (const Installed& r : rows) {
        InstalledInterpreter& e = installed_interpreters[installed_count++];
        text::copy(e.version, 4, r.version);
        e.bits = r.bits;
        e.executable = r.executable;
    }
}

const std::vector<Installed> typical = {
    {u"3.9", 64, u"C:\\Z39"}, {u"3.6", 64, u"C:\\Z36"}, {u"3.6", 32, u"C:\\Z36-32"},
    {u"3.1", 64, u"C:\\Z310"}, {u"2.7", 64, u"C:\\Z27"}};

class Selection : public LauncherTest {
protected:
    void SetUp() override {
        LauncherTest::SetUp();
        text::truncate(local_ini_path, 0);
        text::truncate(global_ini_path, 0);
    }
    static std::string select(const char16_t* request, bool prefer_major_2 = false) {
        const InstalledInterpreter* e = select_interpreter(request, prefer_major_2);
        return e == nullptr ? "none" : utf8(e->executable);
    }
};

TEST_F(Selection, RequestsAgainstTheTable) {
    struct Case {
        std::vector<Installed> table;
        const char16_t* request;
        bool prefer_major_2;
        const char* chosen;
    };
    const Case cases[] = {
        {typical, u"3", false, "C:\\Z39"},
        {typical, u"3.6", false, "C:\\Z36"},       // 64-bit before 32-bit
        {typical, u"3.6-32", false, "C:\\Z36-32"}, // only 32-bit
        {{{u"3.6", 64, u"C:\\Z36"}}, u"3.6-32", false, "none"},
        {typical, u"3-32", false, "none"},         // "3-3" matches no major.minor
        {typical, u"3.10", false, "C:\\Z310"},     // 3.10 is stored as 3.1
        {{{u"3", 64, u"C:\\Z3"}}, u"3.6", false, "C:\\Z3"},
        {typical, u"4", false, "none"},
        {typical, u"", false, "C:\\Z39"},
        {typical, u"", true, "C:\\Z27"},
        {{{u"2.7", 64, u"C:\\Z27"}}, u"", false, "C:\\Z27"},
        {{{u"3.6", 64, u"C:\\Z36"}}, u"", true, "C:\\Z36"},
    };
    for (const Case& c : cases) {
        fake::reset();
        fill(c.table);
        EXPECT_EQ(select(c.request, c.prefer_major_2), c.chosen) << utf8(c.request) << " " << c.prefer_major_2;
    }
}

TEST_F(Selection, ConfiguredDefaults) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::u16string, std::u16string>> environment;
        std::vector<std::pair<std::u16string, std::u16string>> local_defaults, global_defaults;
        const char16_t* request;
        const char* chosen;
        const char* trace;
    };
    const Case cases[] = {
        {"variable replaces a one-character request", {{u"zk_zelkor3", u"3.6"}}, {}, {}, u"3", "C:\\Z36",
         "found configured value 'zelkor3=3.6' in environment\nsearch for Zelkor version '3.6' found 'C:\\Z36'\n"},
        {"configured version not installed", {{u"zk_zelkor3", u"3.7"}}, {}, {}, u"3", "none",
         "found configured value 'zelkor3=3.7' in environment\nsearch for Zelkor version '3.7' found no interpreter\n"},
        {"empty variable falls through to the per-user file", {{u"zk_zelkor3", u""}}, {{u"zelkor3", u"3.1"}},
         {{u"zelkor3", u"3.6"}}, u"3", "C:\\Z310", nullptr},
        {"per-user file beats the file beside the launcher", {}, {{u"zelkor3", u"3.1"}}, {{u"zelkor3", u"3.6"}},
         u"3", "C:\\Z310",
         "found configured value 'zelkor3=3.1' in C:\\local\\zk.ini\nsearch for Zelkor version '3.1' found 'C:\\Z310'\n"},
        {"file beside the launcher", {}, {}, {{u"zelkor3", u"3.6-32"}}, u"3", "C:\\Z36-32", nullptr},
        {"longer requests are never redirected", {{u"zk_zelkor3", u"2.7"}}, {}, {}, u"3.9", "C:\\Z39",
         "search for Zelkor version '3.9' found 'C:\\Z39'\n"},
        {"default road: configured default", {{u"zk_zelkor", u"3.6"}}, {}, {}, u"", "C:\\Z36",
         "found configured value 'zelkor=3.6' in environment\nsearch for default Zelkor found version 3.6 at 'C:\\Z36'\n"},
        {"default road: a configured 3 is a prefix, not the key zelkor3", {{u"zk_zelkor", u"3"}, {u"zk_zelkor3", u"2.7"}},
         {}, {}, u"", "C:\\Z39", nullptr},
        {"default road: configured default matching nothing falls back", {}, {}, {{u"zelkor", u"4.2"}}, u"",
         "C:\\Z39",
         "found configured value 'zelkor=4.2' in C:\\global\\zk.ini\nsearch for default Zelkor found version 3.9 at 'C:\\Z39'\n"},
        {"no configuration", {}, {}, {}, u"2", "C:\\Z27",
         "found no configured value for 'zelkor2'\nsearch for Zelkor version '2' found 'C:\\Z27'\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        log_stream = LogStream::standard_error;
        fill(typical);
        for (auto& [k, v] : c.environment) fake::set_env(k, v);
        text::assign(local_ini_path, c.local_defaults.empty() ? u"" : u"C:\\local\\zk.ini");
        text::assign(global_ini_path, c.global_defaults.empty() ? u"" : u"C:\\global\\zk.ini");
        for (auto& [k, v] : c.local_defaults) fake::add_ini(u"C:\\local\\zk.ini", u"defaults", k, v);
        for (auto& [k, v] : c.global_defaults) fake::add_ini(u"C:\\global\\zk.ini", u"defaults", k, v);
        EXPECT_EQ(select(c.request), c.chosen) << c.name;
        if (c.trace != nullptr) {
            EXPECT_EQ(utf8(fake::world.err), c.trace) << c.name;
        }
    }
}

TEST_F(Selection, NothingInstalledRescansOnEveryRequest) {
    log_stream = LogStream::standard_error;
    EXPECT_EQ(select(u""), "none");
    EXPECT_EQ(select(u"3.6"), "none");
    EXPECT_EQ(fake::call_count(fake::Op::reg_open_key_ex), 4);
    EXPECT_EQ(utf8(fake::world.err),
              "locating Zelkors in native registry\n"
              "locate_zelkors_for_key: unable to open ZelkorCore key in HKCU\n"
              "locate_zelkors_for_key: unable to open ZelkorCore key in HKLM\n"
              "found no configured value for 'zelkor'\n"
              "search for default Zelkor found no interpreter\n"
              "locating Zelkors in native registry\n"
              "locate_zelkors_for_key: unable to open ZelkorCore key in HKCU\n"
              "locate_zelkors_for_key: unable to open ZelkorCore key in HKLM\n"
              "search for Zelkor version '3.6' found no interpreter\n");
}

TEST_F(Selection, OnceFoundTheRegistryIsNotScannedAgain) {
    fake::add_install(fake::current_user, fake::native_view, u"3.6", u"C:\\Z36");
    fake::add_file(u"C:\\Z36\\zelkor.exe");
    EXPECT_EQ(select(u"3"), "C:\\Z36\\zelkor.exe");
    int opened = fake::call_count(fake::Op::reg_open_key_ex);
    EXPECT_EQ(select(u"2"), "none");
    EXPECT_EQ(fake::call_count(fake::Op::reg_open_key_ex), opened);
}

// With the trace off a binary type is read only when a request reaches its version; the
// answer is the one a scan that reads every type gives.
TEST_F(Selection, TraceOffReadsOnlyTheTypesARequestReaches) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char16_t*, uint32_t>> installs;  // version, binary type
        const char16_t* request;
        const char* chosen;
        int types_read;
        bool scanned_again;  // by the next request
    };
    const uint32_t x64 = 6, x86 = 0, dos = 1;
    const Case cases[] = {
        {"one version of three", {{u"3.9", x64}, {u"3.6", x64}, {u"2.7", x64}}, u"2.7", "C:\\Z2.7\\zelkor.exe", 1, false},
        {"the greatest version", {{u"3.9", x64}, {u"3.6", x64}, {u"2.7", x64}}, u"3", "C:\\Z3.9\\zelkor.exe", 1, false},
        {"a rejected group passes the walk on", {{u"3.9", dos}, {u"3.6", x64}}, u"3", "C:\\Z3.6\\zelkor.exe", 2, false},
        {"-32 reads the group it matches", {{u"3.9", x64}, {u"3.6", x86}}, u"3.6-32", "C:\\Z3.6\\zelkor.exe", 1, false},
        {"all rejected: scanned again, as when nothing is found", {{u"3.9", dos}, {u"3.6", dos}}, u"3",
         "none", 2, true},
    };
    for (const Case& c : cases) {
        fake::reset();
        installed_count = 0;
        for (auto [version, type] : c.installs) {
            std::u16string folder = u"C:\\Z" + std::u16string(version);
            fake::add_install(fake::current_user, fake::native_view, version, folder);
            fake::add_file(folder + u"\\zelkor.exe").binary_type = type;
        }
        EXPECT_EQ(select(c.request), c.chosen) << c.name;
        EXPECT_EQ(fake::call_count(fake::Op::get_binary_type), c.types_read) << c.name;
        int opened = fake::call_count(fake::Op::reg_open_key_ex);
        select(u"3");
        EXPECT_EQ(fake::call_count(fake::Op::reg_open_key_ex) > opened, c.scanned_again) << c.name;
    }
}

// Entries of equal version and bits go to the first sighting in scan order (the fake's
// sort reverses ties), whatever the trace: the same program runs with it on and off.
TEST_F(Selection, TiesGoToTheFirstSightingTraceOnOrOff) {
    struct Install {
        fake::Root root;
        fake::View view;
        const char16_t* name;
        const char16_t* folder;
    };
    struct Case {
        const char* name;
        bool wow64;
        std::vector<Install> installs;
        const char* chosen;
    };
    const auto hkcu = fake::current_user, hklm = fake::local_machine;
    const auto native = fake::native_view, v64 = fake::view_64;
    const Case cases[] = {
        {"the current user before the machine", false, {{hklm, native, u"3.6", u"C:\\ZB"}, {hkcu, native, u"3.6", u"C:\\ZA"}},
         "C:\\ZA\\zelkor.exe"},
        {"three: the current user, then the machine's 64-bit view", true,
         {{hklm, native, u"3.6", u"C:\\ZB"}, {hklm, v64, u"3.6", u"C:\\ZC"}, {hkcu, native, u"3.6", u"C:\\ZA"}},
         "C:\\ZA\\zelkor.exe"},
        {"the 64-bit view before the native one", true, {{hklm, native, u"3.6", u"C:\\ZB"}, {hklm, v64, u"3.6", u"C:\\ZC"}},
         "C:\\ZC\\zelkor.exe"},
        {"three subkeys cut to one version: enumeration order", false,
         {{hkcu, native, u"3.61", u"C:\\ZA"}, {hkcu, native, u"3.6", u"C:\\ZB"}, {hkcu, native, u"3.60", u"C:\\ZC"}},
         "C:\\ZA\\zelkor.exe"},
    };
    for (const Case& c : cases)
        for (bool trace_on : {true, false})
            for (const char16_t* request : {u"3.6", u"3", u""}) {
                fake::reset();
                installed_count = 0;
                fake::world.wow64 = c.wow64;
                log_stream = trace_on ? LogStream::standard_error : LogStream::none;
                for (const Install& i : c.installs) {
                    fake::add_install(i.root, i.view, i.name, i.folder);
                    fake::add_file(std::u16string(i.folder) + u"\\zelkor.exe");
                }
                EXPECT_EQ(select(request), c.chosen) << c.name << ", trace " << trace_on << ", request " << utf8(request);
            }
}

// What a scan by need could get wrong, answered as the full scan answers it, trace on or
// off: an executable listed by an earlier sighting of another version is that one's; a
// version whose every candidate is rejected passes the request on; past the cap of 100
// executables nothing is listed, however great its version.
TEST_F(Selection, TraceOffAnswersAsTheFullScan) {
    struct Install {
        std::u16string name;
        std::u16string folder;
        uint32_t type;  // 6: 64-bit, 1: DOS
        const char16_t* layouts = u"\\";
    };
    struct Case {
        const char* name;
        std::vector<Install> installs;
        const char16_t* request;
        std::string chosen;
    };
    std::vector<Install> capped;  // 25 installations of four layouts each, then 3.9
    for (int i = 0; i < 25; ++i) {
        std::u16string n = fake::utf16(std::to_string(i));
        capped.push_back({u"2.0-" + n, u"C:\\C" + n, 6, u"*"});
    }
    capped.push_back({u"3.9", u"C:\\Z39", 6});
    const Case cases[] = {
        {"the winner's file, listed earlier under 2.7", {{u"2.7", u"C:\\ZA", 6}, {u"3.6", u"c:\\za\\", 6}}, u"3", "none"},
        {"the same file is 2.7's", {{u"2.7", u"C:\\ZA", 6}, {u"3.6", u"c:\\za\\", 6}}, u"2", "C:\\ZA\\zelkor.exe"},
        {"listed earlier through another layout",
         {{u"2.7", u"C:\\ZA\\Vornix", 6}, {u"3.6", u"C:\\ZA", 6, u"\\Vornix\\"}, {u"3.5", u"C:\\Z35", 6}}, u"3",
         "C:\\Z35\\zelkor.exe"},
        {"every candidate of 3.9 rejected", {{u"3.9", u"C:\\Z39", 1}, {u"3.6", u"C:\\Z36", 6}}, u"3", "C:\\Z36\\zelkor.exe"},
        {"the cap reached before 3.9's sighting", capped, u"3.9", "none"},
    };
    for (const Case& c : cases) {
        std::string chosen[2];
        for (bool trace_on : {true, false}) {
            fake::reset();
            log_stream = trace_on ? LogStream::standard_error : LogStream::none;
            for (const Install& i : c.installs) {
                fake::add_install(fake::current_user, fake::native_view, i.name, i.folder);
                std::u16string folder = i.folder.back() == u'\\' ? i.folder.substr(0, i.folder.size() - 1) : i.folder;
                for (const char16_t* layout : {u"\\", u"\\Vornix\\win32\\", u"\\Vornix\\amd64\\", u"\\Vornix\\"})
                    if (std::u16string(i.layouts) == u"*" || std::u16string(i.layouts) == layout)
                        fake::add_file(folder + layout + u"zelkor.exe").binary_type = i.type;
            }
            chosen[trace_on] = select(c.request);
        }
        EXPECT_EQ(chosen[1], c.chosen) << c.name;
        EXPECT_EQ(chosen[0], chosen[1]) << c.name << ": the trace changed the answer";
    }
}

// Under WOW64 the current user's key is met in both views. An installer rewriting its
// values while the launcher runs (each answers another folder from its second read on):
// the table never passes its 100 entries, and the trace changes no answer.
TEST_F(Selection, AValueRewrittenDuringTheLaunchNeverOverrunsTheTable) {
    std::vector<std::u16string> requests = {u"", u"2", u"3"};
    auto build = [&] {
        fake::world.wow64 = true;
        for (int i = 0; i < 24; ++i) {
            bool user = i < 13;
            std::u16string version = fake::utf16(std::to_string(2 + i / 10) + "." + std::to_string(i % 10));
            std::u16string folder = u"C:\\V" + fake::utf16(std::to_string(i));
            fake::Root root = user ? fake::current_user : fake::local_machine;
            fake::add_install(root, fake::native_view, version, folder);
            if (user)
                fake::rewrite_on_second_read(root, fake::native_view,
                                             u"SOFTWARE\\Zelkor\\ZelkorCore\\" + version + u"\\InstallPath",
                                             fake::reg_sz(folder + u"-rewritten"));
            for (const char16_t* layout : {u"\\", u"\\Vornix\\win32\\", u"\\Vornix\\amd64\\", u"\\Vornix\\"})
                for (const char16_t* suffix : {u"", u"-rewritten"})
                    fake::add_file(folder + suffix + layout + u"zelkor.exe");
            if (requests.size() < 27) requests.push_back(version);
        }
    };
    std::vector<std::string> answers[2];
    for (bool trace_on : {true, false}) {
        fake::reset();
        build();
        log_stream = trace_on ? LogStream::standard_error : LogStream::none;
        for (const std::u16string& request : requests) {
            answers[trace_on].push_back(select(request.c_str()));
            ASSERT_LE(installed_count, max_installations) << utf8(request);
        }
    }
    EXPECT_EQ(answers[0], answers[1]);
    EXPECT_EQ(answers[1][3], "C:\\V0\\zelkor.exe");  // 2.0: the value as first read
}

TEST_F(Selection, MainFlowRunsTheDefaultInstalledInterpreter) {
    fake::add_install(fake::current_user, fake::native_view, u"3.6", u"C:\\Program Files\\Z36\\");
    fake::add_file(u"C:\\Program Files\\Z36\\zelkor.exe");
    fake::world.command_line = u"C:\\d\\tool.exe x";
    fake::RunResult r = fake::run();
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.child, "\"C:\\Program Files\\Z36\\zelkor.exe\" C:\\d\\tool-script.zk x");
}

}  // namespace
