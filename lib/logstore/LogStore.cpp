#include "LogStore.h"

#include "Paths.h"
#include "RylSortStringArray.h"
#include "Text.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>

namespace RYL {
namespace {

// "%f": six decimals, always with a point whatever the locale.
std::wstring FixedSix(double value) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
    return std::wstring(buf, r.ptr);
}

std::wstring FormatLine(const tagLogRecord& record) {
    std::wstring time = record.dtTime.Format(L"%Y-%m-%dT %H:%M:%SZ");
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08X", record.dwCode);
    return L"[" + time + L"] (" + code + L")\t" + record.Text() + L"\r\n";
}

class File {
public:
    explicit File(int fd) : fd_(fd) {}
    ~File() {
        if (fd_ >= 0) close(fd_);
    }
    int fd() const { return fd_; }
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

private:
    int fd_;
};

}  // namespace

CLogStore::CLogStore(void* parent) : m_parent(parent) {}

CLogStore::~CLogStore() { RemoveAll(); }

bool CLogStore::MakeKey(std::wstring name, const COleDateTime& time, std::wstring& key) {
    key.clear();
    if (name.empty() || time.GetStatus() != COleDateTime::valid) return false;
    wchar_t seq[32];
    std::swprintf(seq, 32, L"%010llu", static_cast<unsigned long long>(m_sequence));
    key = name + L"_" + FixedSix(time.GetDate()) + L"_" + seq;
    ++m_sequence;
    return true;
}

std::wstring CLogStore::AddRecord(const tagLogRecord& record) {
    std::wstring key;
    if (!MakeKey(record.Name(), record.dtTime, key) || key.empty()) return std::wstring();
    RemoveKey(key.c_str());
    tagLogRecord* copy = new tagLogRecord;
    *copy = record;
    SetAt(key.c_str(), copy);
    return key;
}

intptr_t CLogStore::OnLogRecord(uintptr_t /*wParam*/, const tagLogRecord* record) {
    if (!record) return 1;
    AddRecord(*record);
    return 0;
}

bool CLogStore::SaveToFile(std::wstring fileName, uint32_t maxLevel) {
    if (fileName.empty()) return false;
    File file(open(plat::NativePath(fileName).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.fd() < 0) return false;
    if (!plat::WriteAll(file.fd(), "\xFF\xFE", 2)) return false;

    CRylSortStringArray keys;
    for (const auto& entry : *this) {
        if (entry.first.empty()) return false;
        keys.Add(entry.first);
    }
    if (keys.GetSize() != GetCount()) return false;
    keys.Sort();

    for (size_t i = 0; i < keys.GetSize(); ++i) {
        tagLogRecord* record = nullptr;
        if (!Lookup(keys[i].c_str(), record) || !record) return false;
        if (static_cast<uint32_t>(record->nLevel) > maxLevel) continue;
        const std::string line = plat::Utf16LeBytes(FormatLine(*record));
        if (!plat::WriteAll(file.fd(), line.data(), line.size())) return false;
    }
    return file.Close();
}

void CLogStore::Clear() { RemoveAll(); }

}  // namespace RYL
