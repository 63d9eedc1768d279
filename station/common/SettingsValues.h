// Every setting of the station: how flash results are reported and the workers' time limits.
// The fields are guarded by `lock`; readers copy what they need under it (Copy()) and work on
// the copy. Nothing else is locked, and nothing waits, while the lock is held.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>

struct FtpSettings {
    std::wstring Host = L"ftp.zelk-partner.invalid";
    uint16_t Port = 21;
    std::wstring User = L"zelk";
    std::wstring Password = L"qHtWmRbN";
    std::wstring UploadPath = L"inbox/reflash/";
    bool TransforMode = false;  // true: passive transfers, false: active

    bool operator==(const FtpSettings&) const = default;
};

// Seconds.
struct TimeoutSettings {
    uint32_t RebootTimeout = 180;
    uint32_t InstallTimeout = 1500;
    uint32_t WipeTimeout = 1500;
    uint32_t IntoAndroidTimeout = 300;

    bool operator==(const TimeoutSettings&) const = default;
};

// The values alone, copyable: what a reader takes under the lock.
struct SettingsData {
    bool UploadResult = false;
    FtpSettings Ftp;
    bool SaveXmlLog = false;
    std::wstring ResultPath;
    TimeoutSettings Timeout;
    bool Tavio = false;
    int32_t TavioHostIndex = 0;

    static constexpr int kTavioHostCount = 5;
    // The regional host of the result service for index 0 to 4; empty for any other index.
    static std::wstring TavioHostAt(int index);
    std::wstring GetTavioHost() const { return TavioHostAt(TavioHostIndex); }

    bool operator==(const SettingsData&) const = default;
};

struct SettingsValues : SettingsData {
    mutable std::mutex lock;

    SettingsValues() = default;
    SettingsValues(const SettingsValues&) = delete;
    SettingsValues& operator=(const SettingsValues&) = delete;

    // Take the lock themselves; not to be called while holding it.
    SettingsData Copy() const {
        std::lock_guard<std::mutex> guard(lock);
        return *this;
    }
    void Assign(const SettingsData& values) {
        std::lock_guard<std::mutex> guard(lock);
        static_cast<SettingsData&>(*this) = values;
    }
};
