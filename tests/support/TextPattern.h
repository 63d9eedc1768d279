// Whole-text matches of POSIX extended regular expressions (regcomp), for names and queries whose
// digits vary. Kept off std::regex, whose inlined automaton GCC 12 warns about in optimised builds.
#pragma once
#include <regex.h>

#include <string>
#include <vector>

// True when the whole text matches; groups (when given) get the text of every parenthesised group.
inline bool MatchesWhole(const std::string& text, const std::string& pattern,
                         std::vector<std::string>* groups = nullptr) {
    regex_t compiled;
    if (regcomp(&compiled, ("^(" + pattern + ")$").c_str(), REG_EXTENDED) != 0)
        return false;
    std::vector<regmatch_t> found(compiled.re_nsub + 1);
    const bool matched = regexec(&compiled, text.c_str(), found.size(), found.data(), 0) == 0;
    if (matched && groups) {
        groups->clear();
        for (size_t i = 2; i < found.size(); ++i)  // 0 and 1: the whole text
            groups->push_back(found[i].rm_so < 0 ? std::string()
                                                 : text.substr(found[i].rm_so, found[i].rm_eo - found[i].rm_so));
    }
    regfree(&compiled);
    return matched;
}

// The text as a pattern that matches exactly it.
inline std::string LiteralPattern(const std::string& text) {
    std::string quoted;
    for (const char c : text) {
        if (std::string(".[]{}()\\*+?|^$").find(c) != std::string::npos)
            quoted += '\\';
        quoted += c;
    }
    return quoted;
}

// Whether the text has the shape: '#' stands for one digit, every other character for itself.
inline bool HasShape(const std::string& text, const std::string& shape) {
    std::string pattern;
    for (const char c : shape)
        pattern += c == '#' ? std::string("[0-9]") : LiteralPattern(std::string(1, c));
    return MatchesWhole(text, pattern);
}
