// The records in the application's log store, oldest first, and the lines of written log files.
#pragma once
#include "KivApp.h"
#include "LogStore.h"

#include <wx/app.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct LoggedRecord {
    std::wstring text;
    uint32_t code;
    int32_t level;
    bool operator==(const LoggedRecord&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const LoggedRecord& r) {
    return out << wxString(r.text).utf8_string() << " (" << r.code << ", " << r.level << ")";
}

// Records handed over so far (records queued by workers come with the next pumped events).
inline std::vector<LoggedRecord> LoggedRecords() {
    std::vector<std::pair<std::wstring, LoggedRecord>> keyed;
    for (const auto& [key, record] : *wxGetApp().logStore)
        keyed.push_back({key.substr(key.size() >= 10 ? key.size() - 10 : 0),
                         {record->Text(), record->dwCode, record->nLevel}});
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<LoggedRecord> records;
    for (auto& [key, record] : keyed) records.push_back(std::move(record));
    return records;
}

inline std::vector<std::wstring> LoggedTexts() {
    std::vector<std::wstring> texts;
    for (const auto& r : LoggedRecords()) texts.push_back(r.text);
    return texts;
}

// The lines of every log file under dir/log, oldest file first, decoded from UTF-16LE.
inline std::vector<std::wstring> LogFileLines(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::exists(dir / "log"))
        for (const auto& entry : std::filesystem::directory_iterator(dir / "log")) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<std::wstring> lines;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::wstring text;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8));
        size_t start = 0;
        for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
            lines.push_back(text.substr(start, end - start));
    }
    return lines;
}
