// Writing page-scanner records as text lines, so tests compare whole record sequences:
//   <kind> <name or -> ["text"] [ATTR="value" | ATTR]...
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "webnet.h"

namespace qn::test {

inline std::string RecordLine(const ScanElement* e) {
    std::string line = std::to_string(e->kind) + " " + (e->name ? e->name : "-");
    if (e->text != nullptr) {
        line += " \"" + std::string(e->text) + "\"";
    }
    for (int i = 0; i < e->count; ++i) {
        line += " ";
        line += e->attributes[i].name;
        if (e->attributes[i].value != nullptr) {
            line += "=\"" + std::string(e->attributes[i].value) + "\"";
        }
    }
    return line;
}

// A routine that writes every record into a std::vector<std::string>.
inline int CollectRecords(ScanElement* e, void* userData) {
    static_cast<std::vector<std::string>*>(userData)->push_back(RecordLine(e));
    return 1;
}

inline std::vector<std::string> ReadLines(const std::string& strPath) {
    std::vector<std::string> lines;
    std::ifstream in(strPath);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

inline std::string Joined(const std::vector<std::string>& lines) {
    std::ostringstream out;
    for (const auto& line : lines) {
        out << line << "\n";
    }
    return out.str();
}

}  // namespace qn::test
