// Values that a device or a file name may carry and that must reach URLs, XML and file names
// intact: every character with a meaning in a query or in XML, a blank and text outside ASCII.
#pragma once
#include <string>
#include <vector>

inline const std::vector<std::string> kAwkwardValues = {
    "SER&x=1",
    "V&x=%41+b#c",
    "a b?c/d",
    "<beta>&rc \"q\" 'a'",
    "Gr\xc3\xbc\xc3\x9f\xc3\xa9 \xe2\x82\xac",
};
