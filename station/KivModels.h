// The models the station flashes, as the model combo box shows them.
#pragma once
#include <cstddef>

constexpr size_t kModelCount = 74;
// In the combo's order. Entries 7, 11, 18, 28, 33, 55 and 58 (counted from 1) are variants of
// entries 6, 10, 17, 27, 31, 54 and 57.
extern const wchar_t* const ModelChoices[kModelCount];
