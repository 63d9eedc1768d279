#include "KivSettingsFile.h"

#include "RylCrypto.h"
#include "markup/MarkupDocument.h"
#include "markup/MarkupText.h"

#include <climits>
#include <type_traits>

int SettingsWtoi(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + (text[i] - L'0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

namespace {

void Line(std::wstring& out, const wchar_t* key, const std::wstring& value) {
    out += L"\t<";
    out += key;
    out += L'>';
    out += RYL::EscapeText(value, 0);
    out += L"</";
    out += key;
    out += L">\n";
}

void Line(std::wstring& out, const wchar_t* key, unsigned value) { Line(out, key, std::to_wstring(value)); }

}  // namespace

std::wstring MakeSettingsText(const SettingsData& v) {
    std::wstring out = L"<KIVSettings>\n";
    Line(out, L"UploadResult", v.UploadResult ? L"1" : L"0");
    Line(out, L"Host", v.Ftp.Host);
    Line(out, L"Port", unsigned(v.Ftp.Port));
    Line(out, L"User", v.Ftp.User);
    Line(out, L"Password", v.Ftp.Password);
    Line(out, L"UploadPath", v.Ftp.UploadPath);
    Line(out, L"TransforMode", v.Ftp.TransforMode ? L"Passive" : L"Active");
    Line(out, L"SaveXmlLog", v.SaveXmlLog ? L"1" : L"0");
    Line(out, L"ResultPath", v.ResultPath);
    Line(out, L"RebootTimeout", v.Timeout.RebootTimeout);
    Line(out, L"InstallTimeout", v.Timeout.InstallTimeout);
    Line(out, L"WipeTimeout", v.Timeout.WipeTimeout);
    Line(out, L"IntoAndroidTimeout", v.Timeout.IntoAndroidTimeout);
    Line(out, L"Tavio", v.Tavio ? 1u : 0u);
    Line(out, L"TavioHostIndex", static_cast<unsigned>(v.TavioHostIndex));
    out += L"</KIVSettings>\n";
    return out;
}

bool ParseSettingsText(const std::wstring& text, SettingsData& values) {
    RYL::MarkupDocument doc;
    if (!doc.SetDocument(text) || !doc.FindElement(L"KIVSettings") || !doc.StepInto()) return false;
    SettingsData v = values;
    // Each key's text when it is found after the last key found.
    auto take = [&doc](const wchar_t* key, auto&& apply) {
        if (doc.FindElement(key)) apply(doc.GetText());
    };
    auto flag = [](bool& field) { return [&field](const std::wstring& t) { field = t == L"1"; }; };
    auto textOf = [](std::wstring& field) { return [&field](const std::wstring& t) { field = t; }; };
    auto number = [](auto& field) {
        return [&field](const std::wstring& t) { field = static_cast<std::remove_reference_t<decltype(field)>>(SettingsWtoi(t)); };
    };
    take(L"UploadResult", flag(v.UploadResult));
    take(L"Host", textOf(v.Ftp.Host));
    take(L"Port", number(v.Ftp.Port));
    take(L"User", textOf(v.Ftp.User));
    take(L"Password", textOf(v.Ftp.Password));
    take(L"UploadPath", textOf(v.Ftp.UploadPath));
    take(L"TransforMode", [&v](const std::wstring& t) { v.Ftp.TransforMode = t == L"Passive"; });
    take(L"SaveXmlLog", flag(v.SaveXmlLog));
    take(L"ResultPath", textOf(v.ResultPath));
    take(L"RebootTimeout", number(v.Timeout.RebootTimeout));
    take(L"InstallTimeout", number(v.Timeout.InstallTimeout));
    take(L"WipeTimeout", number(v.Timeout.WipeTimeout));
    take(L"IntoAndroidTimeout", number(v.Timeout.IntoAndroidTimeout));
    take(L"Tavio", flag(v.Tavio));
    take(L"TavioHostIndex", number(v.TavioHostIndex));
    values = std::move(v);
    return true;
}

bool LoadSettingsFile(SettingsValues& values, const std::wstring& file) {
    std::wstring text;
    if (RylCrypto::Decrypt(nullptr, &file, &text, RylCrypto::RYLCRYPTO_INPUT_FILE, 0) != 0) return false;
    SettingsData loaded = values.Copy();
    if (!ParseSettingsText(text, loaded)) return false;
    values.Assign(loaded);
    return true;
}

bool SaveSettingsFile(const SettingsValues& values, const std::wstring& file) {
    const std::wstring text = MakeSettingsText(values.Copy());
    std::wstring name = file;
    return RylCrypto::Encrypt(nullptr, &text, &name, RylCrypto::RYLCRYPTO_OUTPUT_FILE, 0) == 0;
}
