// Fuzz target: arbitrary bytes as the wrapped script, through the whole launcher against
// the fake platform: compiled-file check, byte-order marks, line decoding, shebang
// parsing, custom commands, selection and the child's command line. Bytes after a
// separator FF FF FF, read as UTF-8, become the launcher's raw command line instead, so
// the split of the user's arguments is fuzzed along.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::reset();
    std::string script(reinterpret_cast<const char*>(data), size);
    std::u16string command_line = u"\"C:\\d\\tool.exe\" a  \"b c\"";
    size_t separator = script.find("\xFF\xFF\xFF");
    if (separator != std::string::npos) {
        command_line = fake::utf16(script.substr(separator + 3));
        script.resize(separator);
    }
    fake::add_file(u"C:\\d\\tool-script.zk", script);
    fake::add_install(fake::current_user, fake::native_view, u"3.6", u"C:\\Program Files\\Z36");
    fake::add_install(fake::local_machine, fake::native_view, u"2.7", u"C:\\Z27\\");
    fake::add_file(u"C:\\Program Files\\Z36\\zelkor.exe");
    fake::add_file(u"C:\\Z27\\Vornix\\win32\\zelkor.exe").binary_type = 0;
    fake::add_ini(u"C:\\d\\zk.ini", u"commands", u"mytool", u"C:\\tools\\mytool.exe");
    fake::add_ini(u"C:\\d\\zk.ini", u"defaults", u"zelkor3", u"3.6");
    fake::world.search_directories = {u"C:\\bin"};
    fake::add_file(u"C:\\bin\\zelkor.exe");
    fake::add_file(u"C:\\bin\\tool.com");
    fake::set_env(u"PATHEXT", u".COM;.EXE");
    fake::set_env(u"ZKLAUNCH_DEBUG", u"1");
    fake::world.command_line = command_line;
    fake::run();
    fake::reset();  // the run's heap goes back within the input, as libFuzzer counts it
    return 0;
}
