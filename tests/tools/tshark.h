// Reading a capture back the way a user would: tshark's decoding of chosen fields, one row per
// record.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace wdmusbsim::test {

using TsharkRow = std::vector<std::string>;

// The fields of every record, in order; empty when tshark cannot be run or read the file.
inline std::vector<TsharkRow> tsharkFields(const std::string& file,
                                           const std::vector<std::string>& fields) {
    std::string command = "tshark -r '" + file + "' -T fields -E separator=/t -E occurrence=f";
    for (const auto& field : fields)
        command += " -e " + field;
    command += " 2>/dev/null";
    std::vector<TsharkRow> rows;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return rows;
    std::string line;
    for (int c; (c = std::fgetc(pipe)) != EOF;) {
        if (c != '\n') {
            line.push_back(static_cast<char>(c));
            continue;
        }
        TsharkRow row;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            row.push_back(line.substr(start, tab - start));
        row.push_back(line.substr(start));
        rows.push_back(std::move(row));
        line.clear();
    }
    pclose(pipe);
    return rows;
}

} // namespace wdmusbsim::test
