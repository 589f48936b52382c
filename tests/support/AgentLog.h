// The agent's log as log readers see it.
#pragma once

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace vesktest {

// The lines of log that do not begin with the logger's prefix
// "Www Mmm dd hh:mm:ss.mmm [LEVEL]: " and one of its five level names.
inline std::vector<std::string> UnprefixedLogLines(const std::string& log) {
    static const std::regex prefix(
        R"(^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d\.\d{3} \[(ERROR|INFO|DEBUG|TRACE|FATAL ERROR)\]: )");
    std::vector<std::string> bad;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (!std::regex_search(line, prefix)) bad.push_back(line);
    return bad;
}

}  // namespace vesktest
