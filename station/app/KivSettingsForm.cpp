#include "KivSettingsForm.h"

#include "KivSettingsFile.h"

std::wstring SettingsFormError(const SettingsForm& f) {
    if (f.upload) {
        if (f.host.empty()) return L"The host has to be not empty.";
        const int port = SettingsWtoi(f.port);
        if (port < 1 || port > 65535) return L"The port has to be a value from 1 to 65535.";
        if (f.user.empty()) return L"The user has to be not empty.";
        if (f.password.empty()) return L"The password has to be not empty.";
        for (const std::wstring* limit : {&f.reboot, &f.install, &f.wipe, &f.intoAndroid}) {
            const int seconds = SettingsWtoi(*limit);
            if (seconds < 0 || seconds > int(SettingsForm::kMaxTimeout))
                return L"The timeout has to be a value from 0 to " + std::to_wstring(SettingsForm::kMaxTimeout) + L".";
        }
    }
    if ((f.save || f.upload) && f.location.empty()) return L"The path has to be not empty.";
    if (f.tavio && f.tavioText.empty()) return L"The Tavio host has to be not empty.";
    return std::wstring();
}

SettingsForm SettingsFormFromValues(const SettingsData& v) {
    SettingsForm f;
    f.upload = v.UploadResult;
    f.host = v.Ftp.Host;
    f.port = std::to_wstring(v.Ftp.Port);
    f.user = v.Ftp.User;
    f.password = v.Ftp.Password;
    f.uploadPath = v.Ftp.UploadPath;
    f.passive = v.Ftp.TransforMode;
    f.save = v.SaveXmlLog;
    f.location = v.ResultPath;
    f.reboot = std::to_wstring(v.Timeout.RebootTimeout);
    f.install = std::to_wstring(v.Timeout.InstallTimeout);
    f.wipe = std::to_wstring(v.Timeout.WipeTimeout);
    f.intoAndroid = std::to_wstring(v.Timeout.IntoAndroidTimeout);
    f.tavio = v.Tavio;
    f.tavioSelection = v.TavioHostIndex;
    f.tavioText = SettingsData::TavioHostAt(v.TavioHostIndex);
    return f;
}

void SettingsFormToValues(const SettingsForm& f, SettingsData& v) {
    v.UploadResult = f.upload;
    v.Ftp.Host = f.host;
    v.Ftp.Port = static_cast<uint16_t>(SettingsWtoi(f.port));
    v.Ftp.User = f.user;
    v.Ftp.Password = f.password;
    v.Ftp.UploadPath = f.uploadPath;
    v.Ftp.TransforMode = f.passive;
    v.SaveXmlLog = f.save;
    v.ResultPath = f.location;
    v.Timeout.RebootTimeout = static_cast<uint32_t>(SettingsWtoi(f.reboot));
    v.Timeout.InstallTimeout = static_cast<uint32_t>(SettingsWtoi(f.install));
    v.Timeout.WipeTimeout = static_cast<uint32_t>(SettingsWtoi(f.wipe));
    v.Timeout.IntoAndroidTimeout = static_cast<uint32_t>(SettingsWtoi(f.intoAndroid));
    v.Tavio = f.tavio;
    v.TavioHostIndex = f.tavioSelection;
}
