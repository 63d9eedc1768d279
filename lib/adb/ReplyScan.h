// A small scanf-like reader for the replies of command-line tools, with bounded fields.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace RYL {

// Room of one reply field, in characters.
inline constexpr size_t kReplyFieldChars = 51200;

struct ReplyScan {
    int count = 0;                     // fields converted
    std::vector<std::wstring> fields;  // one per converted field, in order (%lu: its digits)
    std::vector<uint32_t> numbers;     // the value of each converted %lu, in order
};

// Reads text by pattern the way the C library's wide scanf does for the directives used here:
//   white space  matches any run of white space, including none
//   %[^set]      one or more characters not in set (a ']' right after '^' belongs to the set)
//   %lu          optional white space, then decimal digits (at most 32 bits)
//   %%           a '%'
//   other        that character exactly
// Reading stops at the first directive that does not match. A field longer than the bound is
// kept cut at the bound, and reading goes on after the whole run.
ReplyScan ScanReply(std::wstring_view text, std::wstring_view pattern,
                    size_t bound = kReplyFieldChars);

// The number of fields ScanReply converts.
int ScanCount(std::wstring_view text, std::wstring_view pattern);

}  // namespace RYL
