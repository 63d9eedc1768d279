// The models the station flashes: the combo box's names, the codes a job uses and the model lists
// that choose each step of a job.
#pragma once
#include <wx/string.h>

#include <cstddef>

constexpr size_t kModelCount = 74;
// In the combo's order. Entries 7, 11, 18, 28, 33, 55 and 58 (counted from 1) are variants of
// entries 6, 10, 17, 27, 31, 54 and 57.
extern const wchar_t* const ModelChoices[kModelCount];
// The model code of each combo entry: a variant carries the code of the entry it belongs to.
extern const wchar_t* const JobModels[kModelCount];
// The code of the combo's selected index; empty for an index outside the table.
wxString JobModelAt(int index);

// Model lists: model codes separated by commas, with a comma at both ends. A list holds a model
// when it contains the code enclosed in commas (exact case); an empty code is held by none.
bool ModelListHolds(const wchar_t* list, const wchar_t* model);

// A result check and the reports follow the flash.
extern const wchar_t ReportModels[];
// The recovery flow.
extern const wchar_t RecoveryModels[];
// Data directory "/data"; with wipe off the package goes by adb sideload (the recovery flow).
extern const wchar_t SideloadModels[];
// The script flow.
extern const wchar_t ScriptModels[];
// Fastboot executable 1.
extern const wchar_t Fastboot1Models[];
// Raw images ("*.raw") and fastboot executable 2.
extern const wchar_t RawImageModels[];
// Fastboot "erase userdata" after a fastboot flash with wipe.
extern const wchar_t EraseUserdataModels[];
// Fastboot "-w" after a fastboot flash with wipe.
extern const wchar_t FastbootWipeModels[];
// The recovery flow's wipe fills the data partition ("--full_fill") instead of wiping it.
extern const wchar_t FullFillModels[];
// The recovery flow formats "userdata" instead of "data" in fastboot.
extern const wchar_t FormatUserdataModels[];
// Both wipe buttons disabled, Yes selected.
extern const wchar_t WipeForcedModels[];
// Both wipe buttons disabled, No selected.
extern const wchar_t WipeBarredModels[];
