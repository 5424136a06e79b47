// The skips a runner may make (skip_list.h): the table read, and the skips judged by it.
#include "e2e/skip_list.h"

#include <algorithm>
#include <stdexcept>

namespace skip_list {

namespace {

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        parts.push_back(line.substr(start, tab - start));
    parts.push_back(line.substr(start));
    return parts;
}

bool listed(const std::vector<Row>& rows, const std::string& runner, const std::string& test) {
    return std::any_of(rows.begin(), rows.end(), [&](const Row& r) { return r.runner == runner && r.test == test; });
}

}  // namespace

std::vector<Row> parse(const std::string& text) {
    std::vector<Row> rows;
    size_t number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
        std::vector<std::string> f = fields(line);
        const std::string where = "skip list, line " + std::to_string(number) + ": ";
        if (f.size() != 3) throw std::runtime_error(where + "not Suite.Case<TAB>runner<TAB>why");
        for (const std::string& field : f)
            if (field.empty() || field.find_first_not_of(' ') == std::string::npos)
                throw std::runtime_error(where + "an empty field (every skip says why)");
        if (f[0].find('.') == std::string::npos || f[0].front() == '.' || f[0].back() == '.')
            throw std::runtime_error(where + "'" + f[0] + "' is not Suite.Case");
        rows.push_back({f[0], f[1], f[2]});
    }
    return rows;
}

std::vector<Skip> unlisted(const std::vector<Row>& rows, const std::string& runner, const std::vector<Skip>& skipped) {
    std::vector<Skip> left;
    for (const Skip& s : skipped)
        if (!listed(rows, runner, s.test)) left.push_back(s);
    return left;
}

std::vector<Row> unused(const std::vector<Row>& rows, const std::string& runner, const std::vector<std::string>& ran,
                        const std::vector<Skip>& skipped) {
    std::vector<Row> stale;
    for (const Row& r : rows) {
        if (r.runner != runner || std::find(ran.begin(), ran.end(), r.test) == ran.end()) continue;
        if (std::none_of(skipped.begin(), skipped.end(), [&](const Skip& s) { return s.test == r.test; }))
            stale.push_back(r);
    }
    return stale;
}

}  // namespace skip_list
