#include "SettingsValues.h"

std::wstring SettingsData::TavioHostAt(int index) {
    static const wchar_t* const hosts[kTavioHostCount] = {
        L"tavio-us.zelk-service.invalid", L"tavio-eu.zelk-service.invalid", L"tavio-ap.zelk-service.invalid",
        L"tavio-la.zelk-service.invalid", L"tavio-cn.zelk-service.invalid",
    };
    if (index < 0 || index >= kTavioHostCount) return std::wstring();
    return hosts[index];
}
