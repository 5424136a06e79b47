// The skips a runner may make, judged after a run of the cases: a table kept beside the
// workflow (.github/workflows/windows-skips.tsv), one row a line,
//   Suite.Case<TAB>runner<TAB>why
// with '#' lines as comments and blank lines ignored. A skip with no row for the runner
// fails the run: a case that stops running is seen, not passed green. Portable C++: the
// Windows test program uses it, and the native unit tests hold it to its rows.
#pragma once

#include <string>
#include <vector>

namespace skip_list {

struct Row {
    std::string test, runner, why;
};
struct Skip {
    std::string test, reason;  // "Suite.Case", and what the case said when it skipped
};

// The table's rows. A line of another shape (not three fields, an empty one, a test
// without its suite) throws std::runtime_error naming its line number. Line ends may be
// LF or CR LF (a checkout on Windows).
std::vector<Row> parse(const std::string& text);

// The skips that have no row for `runner`, in the order given.
std::vector<Skip> unlisted(const std::vector<Row>& rows, const std::string& runner, const std::vector<Skip>& skipped);

// The rows for `runner` whose case ran without skipping (`ran`: the cases run, skipped or
// not): allowances no longer needed.
std::vector<Row> unused(const std::vector<Row>& rows, const std::string& runner, const std::vector<std::string>& ran,
                        const std::vector<Skip>& skipped);

}  // namespace skip_list
