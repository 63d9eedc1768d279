// What the settings window's controls hold, apart from the window: the checks of OK and the
// copies between the controls and the record.
#pragma once
#include "SettingsValues.h"

#include <string>

struct SettingsForm {
    bool upload = false;
    std::wstring host, port, user, password, uploadPath;
    bool passive = false;
    bool save = false;
    std::wstring location;
    std::wstring reboot, install, wipe, intoAndroid;
    bool tavio = false;
    int tavioSelection = -1;   // -1: nothing selected
    std::wstring tavioText;    // the combo box's text

    static constexpr unsigned kMaxTimeout = 1800;
};

// The message of the first check that fails, in the window's order; empty when all pass.
std::wstring SettingsFormError(const SettingsForm& form);

SettingsForm SettingsFormFromValues(const SettingsData& values);
// Numbers read as SettingsWtoi reads them; the port kept in 16 bits.
void SettingsFormToValues(const SettingsForm& form, SettingsData& values);
