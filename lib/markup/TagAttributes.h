// Reading the attributes of a start tag or processing instruction in a text.
#pragma once
#include <cstddef>
#include <string>

namespace RYL {

struct TagAttribute {
    size_t nameStart = 0, nameEnd = 0;
    bool hasValue = false;
    size_t valueStart = 0, valueEnd = 0;  // the value with its quotes; empty without '='

    // The value without quotes.
    std::wstring Value(const wchar_t* text) const;
};

// Takes the attribute at or after i in a tag whose attributes end at end (its '>', or the '?' of
// "?>"); a '/' just before end closes the tag. Quoted values run to the same quote, unquoted ones
// to whitespace. False when no attribute is left; i moves past the attribute.
bool NextAttribute(const wchar_t* text, size_t& i, size_t end, TagAttribute& attribute);

}  // namespace RYL
