// Fuzz target: a batch file's road. The input is UTF-16LE units (any unit, lone halves of
// surrogate pairs included) in four fields split by NUL: the batch file's name, the
// script's folder, the first line's arguments and the user's arguments, both as raw
// command-line text (quotes and backslashes in any arrangement). The launcher's cmd.exe
// line, read back as cmd reads it (support/cmd_model), must run that batch file with the
// arguments CommandLineToArgvW reads from the same text, with no operator outside quotes
// and no %NAME%; or the run ends with 101, nothing started, where "%", a carriage return
// or a line feed is in the way.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/diagnostics.h"
#include "base/text.h"
#include "child/child.h"
#include "support/cmd_model.h"
#include "support/fake_platform.h"

namespace {

// What a Windows file name may hold of `field`: no control unit, none of " * : < > ? | /.
std::u16string as_name(const std::u16string& field) {
    std::u16string r;
    for (char16_t c : field)
        if (c >= 0x20 && std::u16string_view(u"\"*:<>?|/").find(c) == std::u16string_view::npos) r += c;
    return r;
}

bool refused(const std::u16string& s) { return s.find_first_of(u"%\r\n") != std::u16string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::u16string> fields(1);
    for (size_t i = 0; i + 1 < size; i += 2) {
        auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (unit == 0 && fields.size() < 4)
            fields.emplace_back();
        else if (unit != 0)
            fields.back() += unit;
    }
    fields.resize(4);
    std::u16string batch = u"C:\\" + as_name(fields[0]) + u".cmd";
    std::u16string script = u"C:\\" + as_name(fields[1]) + u"\\tool-script.zk";
    const std::u16string& arguments = fields[2];
    // As the main flow writes its tail: the script's path, quoted when it holds a blank.
    std::u16string rest = (script.find(u' ') != std::u16string::npos ? u"\"" + script + u"\"" : script) + u" " + fields[3];
    std::u16string executable = u"\"" + batch + u"\"";

    fake::reset();
    log_stream = LogStream::standard_error;
    uint32_t code = fake::exit_code_of([&] { launch_with_args(executable.c_str(), arguments.c_str(), rest.c_str(), batch.c_str()); });
    if (fake::take_batch_files_given() != 0) __builtin_trap();  // handed to CreateProcessW
    std::vector<std::u16string> expected = cmd_model::split_arguments(arguments + u" " + rest);
    bool refuse = refused(batch);
    for (const std::u16string& a : expected) refuse = refuse || refused(a);
    if (refuse) {
        if (code != 101 || !fake::world.child_command_lines.empty()) __builtin_trap();
    } else if (code == 101 && fake::world.err.find(u"more than the 8191 it reads") != std::u16string::npos) {
        // Too long for cmd: refused before anything exists, and only when it could be (a
        // line cmd reads whole, the model reads below).
        size_t most = batch.size() + 4;
        for (const std::u16string& a : expected) most += 2 * a.size() + 3;
        if (!fake::world.child_command_lines.empty() || most <= 8191) __builtin_trap();
    } else {
        if (code != 0 || fake::world.child_command_lines.size() != 1) __builtin_trap();
        if (fake::world.child_programs[0] != u"C:\\Windows\\System32\\cmd.exe") __builtin_trap();
        cmd_model::Reading r = cmd_model::read(fake::world.child_command_lines[0]);
        if (!r.error.empty() || !r.s_switch || !r.d_switch || !r.extensions_on || !r.delayed_off) __builtin_trap();
        if (!r.separators.empty() || !r.variables.empty() || r.program != batch) __builtin_trap();
        if (r.arguments.size() != expected.size()) __builtin_trap();
        for (size_t i = 0; i < expected.size(); ++i)
            if (cmd_model::unquoted(r.arguments[i]) != cmd_model::as_handed(expected[i])) __builtin_trap();
    }
    fake::reset();  // the run's heap goes back within the input, as libFuzzer counts it
    return 0;
}
