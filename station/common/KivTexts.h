// Texts that more than one part of the station shows or logs: one place for each.
#pragma once

// A wait or a retry that a stop request or a cancellation cut short.
inline constexpr wchar_t kUserAbortText[] = L"User abort";

// The workers' steps (formats take the serial number or the failure's text).
inline constexpr wchar_t kCheckImageModelStep[] = L"Check image model ...";
inline constexpr wchar_t kFlashSucceededFormat[] = L"Flash image successfully (%s)";
inline constexpr wchar_t kWaitDeviceFailureFormat[] = L"Wait device failure(%s)";
inline constexpr wchar_t kCheckDetectedSerialStep[] = L"Check the detected serial number";

// An IMEI that the device gave and that is none (takes the value).
inline constexpr wchar_t kInvalidImeiFormat[] = L"The IMEI \"%s\" is invalid";
