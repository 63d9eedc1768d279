// The models the station flashes, as the model combo box shows them.
#pragma once
#include <cstddef>

constexpr size_t kModelCount = 74;
// In the combo's order. Entries 7, 11, 18, 28, 33, 55 and 58 (counted from 1) are variants of
// entries 6, 10, 17, 27, 31, 54 and 57.
extern const wchar_t* const ModelChoices[kModelCount];

// Model lists: model codes separated by commas, with a comma at both ends. A list holds a model
// when it contains the code enclosed in commas (exact case); an empty code is held by none.
bool ModelListHolds(const wchar_t* list, const wchar_t* model);

// Data directory "/data"; with wipe off the package goes by adb sideload (the recovery flow).
extern const wchar_t SideloadModels[];
// The recovery flow's wipe fills the data partition ("--full_fill") instead of wiping it.
extern const wchar_t FullFillModels[];
// The recovery flow formats "userdata" instead of "data" in fastboot.
extern const wchar_t FormatUserdataModels[];
