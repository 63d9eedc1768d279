#include "markup/ElementPath.h"

namespace RYL {
namespace {

size_t NameRun(const wchar_t* s) {
    size_t n = 0;
    for (wchar_t c; (c = s[n]) != 0 && c != L' ' && c != L'/' && c != L'=' && c != L'[' && c != L']';) ++n;
    return n;
}

// Length of a predicate's inside up to its ']', 0 when it is not one.
size_t PredicateLength(const wchar_t* s) {
    size_t i = 0;
    if (s[0] >= L'1' && s[0] <= L'9') {
        while (s[i] >= L'0' && s[i] <= L'9') ++i;
    } else if (s[0] == L'@') {
        size_t n = NameRun(s + 1);
        if (!n) return 0;
        i = 1 + n;
        if (s[i] == L'=') {
            ++i;
            if (s[i] == L'\'' || s[i] == L'"') {
                wchar_t quote = s[i++];
                while (s[i] && s[i] != quote) ++i;
                if (!s[i]) return 0;
                ++i;
            } else {
                while (s[i] && s[i] != L']') ++i;
            }
        }
    } else {
        i = NameRun(s);
    }
    return s[i] == L']' ? i : 0;
}

}  // namespace

ElementPath ElementPath::Parse(const wchar_t* path) {
    ElementPath p;
    if (!path || !path[0]) return p;
    size_t i = 0;
    if (path[0] == L'/') {
        p.kind = path[1] == L'/' ? kAnywhere : kAbsolute;
        i = p.kind == kAnywhere ? 2 : 1;
    } else {
        p.kind = kRelative;
    }
    p.nameOffset = i;
    p.nameLength = NameRun(path + i);
    for (;;) {
        if (path[i] == L'@') {
            size_t n = NameRun(path + i + 1);
            if (!n || path[i + 1 + n]) p.kind = kInvalid;
            return p;
        }
        size_t n = NameRun(path + i);
        if (!n) break;
        i += n;
        if (path[i] == L'[') {
            size_t inside = PredicateLength(path + i + 1);
            if (!inside) break;
            i += inside + 2;
        }
        if (!path[i]) return p;
        if (path[i] != L'/' || p.kind == kAnywhere || !path[i + 1]) break;
        ++i;
    }
    p.kind = kInvalid;
    return p;
}

}  // namespace RYL
