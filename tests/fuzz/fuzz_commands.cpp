// Fuzz target: the loading of "commands" sections and the lookups. The input is read as
// UTF-8 lines: "name=value" lines go into the per-user file, lines after a line "--"
// into the file beside the launcher, a line "?name" is looked up afterwards (and the
// program a command line of that text starts decided), a line "!ext;ext" sets PATHEXT,
// a line "%dir;dir" sets PATH.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/diagnostics.h"
#include "child/program.h"
#include "script/commands.h"
#include "support/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::reset();
    log_stream = LogStream::standard_error;
    fake::set_path({u"C:\\bin", u"C:\\other"});
    set_program_folders(u"C:\\d", u"\\\\server\\share\\d");
    fake::add_file(u"C:\\bin\\tool.exe");
    fake::add_file(u"C:\\other\\tool.com");
    std::u16string input = fake::utf16(std::string(reinterpret_cast<const char*>(data), size));
    std::u16string file = u"C:\\global\\zk.ini";
    std::vector<std::u16string> lookups;
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find(u'\n', start);
        if (end == std::u16string::npos) end = input.size();
        std::u16string line = input.substr(start, end - start);
        start = end + 1;
        size_t eq = line.find(u'=');
        if (line == u"--") file = u"C:\\local\\zk.ini";
        else if (!line.empty() && line[0] == u'?') lookups.push_back(line.substr(1));
        else if (!line.empty() && line[0] == u'!') fake::set_env(u"PATHEXT", line.substr(1));
        else if (!line.empty() && line[0] == u'%') fake::set_env(u"PATH", line.substr(1));
        else if (eq != std::u16string::npos && eq > 0) fake::add_ini(file, u"commands", line.substr(0, eq), line.substr(eq + 1));
    }
    read_commands(u"C:\\global\\zk.ini");
    read_commands(u"C:\\local\\zk.ini");
    text::Growable program;
    size_t used = 0;
    for (const std::u16string& name : lookups) {
        resolve_command_name(name.c_str());
        if (decide_program(name.c_str(), program, &used) && used > name.size()) __builtin_trap();
    }
    fake::reset();  // the run's heap goes back within the input, as libFuzzer counts it
    return 0;
}
