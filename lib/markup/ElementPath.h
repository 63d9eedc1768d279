// A name or path given to FindElement.
#pragma once
#include <cstddef>

namespace RYL {

struct ElementPath {
    enum Kind { kInvalid = -1, kEmpty = 0, kRelative = 1, kAbsolute = 2, kAnywhere = 3 };

    int kind = kEmpty;
    size_t nameOffset = 0;  // of the first step's name
    size_t nameLength = 0;

    // Steps separated by '/', each a name with an optional predicate ("[2]", "[@a]", "[@a='v']",
    // "[b]"); the last step may be "@attribute". "//" allows one step only.
    static ElementPath Parse(const wchar_t* path);
};

}  // namespace RYL
