// How USB devices are named in notices and device sets: interface paths, instance ids, locations.
#include "DeviceSetup.h"

#include <cstdio>
#include <cwctype>

namespace plat {
namespace {

std::wstring HexIdPart(uint16_t vendorId, uint16_t productId) {
    wchar_t text[32];
    std::swprintf(text, 32, L"VID_%04X&PID_%04X", static_cast<unsigned>(vendorId),
                  static_cast<unsigned>(productId));
    return text;
}

bool ParseUnsigned(const std::string& text, unsigned* value) {
    if (text.empty() || text.size() > 4) return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    *value = v;
    return true;
}

}  // namespace

std::wstring UsbInterfacePath(uint16_t vendorId, uint16_t productId, const std::wstring& serial) {
    return L"\\\\?\\USB#" + HexIdPart(vendorId, productId) + L"#" + serial + L"#" +
           GUID_DEVINTERFACE_USB_DEVICE;
}

std::wstring UsbInstanceId(uint16_t vendorId, uint16_t productId, const std::wstring& serial) {
    std::wstring id = L"USB\\" + HexIdPart(vendorId, productId) + L"\\" + serial;
    for (wchar_t& c : id) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return id;
}

std::wstring UsbLocationInformation(unsigned port, unsigned hub) {
    wchar_t text[48];
    std::swprintf(text, 48, L"Port_#%04u.Hub_#%04u", port % 10000, hub % 10000);
    return text;
}

bool IsUsableUsbSerial(const std::string& serial) {
    if (serial.empty() || serial.size() > 255) return false;
    for (char c : serial) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E || c == '#' || c == '\\' || c == ',') return false;
    }
    return true;
}

std::wstring MadeUpUsbSerial(const std::string& hubPath, unsigned port) {
    // FNV-1a of the hub's path: stable for a port as long as the hub stays where it is.
    uint32_t hash = 2166136261u;
    for (char c : hubPath) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    wchar_t text[48];
    std::swprintf(text, 48, L"5&%08X&0&%u", hash, port);
    return text;
}

bool ParseUsbPortPath(const std::string& devicePath, UsbPortPath* out) {
    const size_t slash = devicePath.find_last_of('/');
    const std::string name = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
    const size_t dash = name.find('-');
    if (dash == std::string::npos || name.find(':') != std::string::npos) return false;
    UsbPortPath path;
    if (!ParseUnsigned(name.substr(0, dash), &path.bus)) return false;
    size_t start = dash + 1;
    while (true) {
        const size_t dot = name.find('.', start);
        unsigned port = 0;
        if (!ParseUnsigned(name.substr(start, dot == std::string::npos ? std::string::npos : dot - start),
                           &port))
            return false;
        path.ports.push_back(port);
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    path.hubPath = slash == std::string::npos ? std::string() : devicePath.substr(0, slash);
    *out = std::move(path);
    return true;
}

bool ParseUsbHexId(const std::string& text, uint16_t* id) {
    if (text.empty() || text.size() > 4) return false;
    unsigned v = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        v = v * 16 + digit;
    }
    *id = static_cast<uint16_t>(v);
    return true;
}

}  // namespace plat
