// SPDX-License-Identifier: MIT
// Reads a table of test cases that other test suites (the Python package's)
// run too: tab-separated records, '#' lines and blank lines left out, and in
// every field \xHH for that byte, \t, \n and \\.
#ifndef VRELAY_TESTS_SUPPORT_CASE_TABLE_H
#define VRELAY_TESTS_SUPPORT_CASE_TABLE_H

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace vrelay {
namespace test {

inline std::string UnescapeCaseField(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out.push_back(field[i]);
        } else if (field[i + 1] == 'x' && i + 3 < field.size()) {
            out.push_back(static_cast<char>(std::strtol(field.substr(i + 2, 2).c_str(), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(field[i + 1] == 't' ? '\t' : field[i + 1] == 'n' ? '\n' : field[i + 1]);
            ++i;
        }
    }
    return out;
}

// The records of the table whose first field is kind, without it, each with
// at least `fields` fields (missing ones empty). Empty when the file cannot
// be read.
inline std::vector<std::vector<std::string>> ReadCaseTable(const std::string& path,
                                                           const std::string& kind,
                                                           size_t fields) {
    std::vector<std::vector<std::string>> records;
    std::ifstream table(path);
    for (std::string line; std::getline(table, line);) {
        std::vector<std::string> record;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
            record.push_back(UnescapeCaseField(line.substr(start, tab - start)));
        }
        record.push_back(UnescapeCaseField(line.substr(start)));
        if (record[0] != kind) {
            continue;
        }
        record.erase(record.begin());
        if (record.size() < fields) {
            record.resize(fields);
        }
        records.push_back(record);
    }
    return records;
}

}  // namespace test
}  // namespace vrelay

#endif
