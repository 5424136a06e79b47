// One run of the launcher against the fake platform, on the road named by the argument,
// in the same world that scripts/bench builds under Wine: 20 installations across HKCU
// and HKLM, a custom command, zelkor.exe on PATH. Run under callgrind, it counts the
// launcher's own instructions on each road, whatever the machine's load.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/fake_platform.h"

namespace {

void install(fake::Root root, const std::u16string& version, uint32_t type = 6) {
    std::u16string dir = u"C:\\bench\\Z";
    for (char16_t c : version)
        if (c != u'.') dir += c;
    fake::add_install(root, fake::native_view, version, dir);
    fake::add_file(dir + u"\\zelkor.exe").binary_type = type;
}

}  // namespace

int main(int argc, char** argv) {
    const char* road = argc > 1 ? argv[1] : "";
    fake::reset();
    for (const char16_t* v : {u"2.0", u"2.1", u"2.2", u"2.3", u"2.4", u"2.5", u"2.6", u"2.7", u"2.8", u"2.9",
                              u"3.0", u"3.1", u"3.2"})
        install(fake::local_machine, v);
    for (const char16_t* v : {u"3.3", u"3.4", u"3.5", u"3.6"}) install(fake::current_user, v);
    for (const char16_t* v : {u"2.5-32", u"2.6-32", u"2.7-32"}) install(fake::current_user, v, 0);
    fake::set_path({u"C:\\bench\\onpath", u"C:\\windows\\system32", u"C:\\windows"});
    fake::add_file(u"C:\\bench\\onpath\\zelkor.exe");
    fake::set_env(u"PATHEXT", u".COM;.EXE;.BAT;.CMD");

    std::u16string dir = u"C:\\bench\\" + fake::utf16(road);
    std::string script;
    if (!strcmp(road, "version")) script = "#!/usr/bin/env zelkor3 -u\r\nprint()\r\n";
    else if (!strcmp(road, "custom")) script = "#!runner\r\nprint()\r\n";
    else if (!strcmp(road, "path")) script = "#!/usr/bin/env zelkor\r\nprint()\r\n";
    else if (!strcmp(road, "default")) script = "#!\r\nprint()\r\n";
    else if (!strcmp(road, "compiled")) script = std::string("\x33\x0D\x0D\x0A", 4) + std::string(60, '\0');
    else {
        fprintf(stderr, "usage: zk_roads version|custom|path|default|compiled\n");
        return 2;
    }
    fake::add_file(dir + u"\\tool-script.zk", script);
    if (!strcmp(road, "custom")) fake::add_ini(dir + u"\\zk.ini", u"commands", u"runner", u"C:\\bench\\Z36\\zelkor.exe -u");
    fake::world.module_path = dir + u"\\tool.exe";
    fake::world.command_line = dir + u"\\tool.exe a";
    fake::RunResult r = fake::run();
    int calls = 0;
    for (int op = 0; op < static_cast<int>(fake::Op::count); ++op) calls += fake::call_count(static_cast<fake::Op>(op));
    printf("%s\n%d\n", r.child.c_str(), calls);
    if (getenv("ZK_ROADS_CALLS"))
        for (int op = 0; op < static_cast<int>(fake::Op::count); ++op)
            fprintf(stderr, "op %d: %d\n", op, fake::call_count(static_cast<fake::Op>(op)));
    return static_cast<int>(r.exit_code);
}
