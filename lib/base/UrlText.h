// Values placed into the query of a URL.
#pragma once
#include <string>

namespace RYL {

// The value's UTF-8 bytes, percent-encoded (upper-case hex) except the unreserved characters
// A-Z a-z 0-9 - . _ ~, so that no value can end its field, add a field or end the query.
std::wstring PercentEncode(const std::wstring& value);

}  // namespace RYL
