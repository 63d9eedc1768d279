// Values that a device (its serial), a package (its file names) or the operator (a folder) may
// bring and that must reach a child program as exactly one argument, byte for byte: quotes,
// backslashes before a quote and at the end, blanks, characters with a meaning to a shell, an
// option of the tool, text outside ASCII.
#pragma once
#include <string>
#include <vector>

inline const std::vector<std::string> kCommandLineValues = {
    "a\" -w \"b.raw",
    "\"",
    "\\",
    "\\\"",
    "dir\\",
    "dir\\\\",
    "a\\\\\"b \\",
    "two  words",
    "tab\there",
    " lead and trail ",
    "$HOME ${X} $(id)",
    "a;b",
    "a&b&&c",
    "it's 'q'",
    "`id` | > < * ?",
    "-w",
    "%s %d",
    "Gr\xc3\xbc\xc3\x9f\xc3\xa9 \xe2\x82\xac",
};
