#include "ZipEntryInfo.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string_view>

#include "Text.h"
#include "markup/MarkupEncoding.h"

namespace RYL {

namespace {

constexpr FileTime kTicksPerSecond = 10000000ULL;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;

// Drops everything up to and including the first of the inner ".." patterns, tried in a fixed
// order; false when none occurs.
bool DropUpToInnerParent(std::wstring& name)
{
    static const wchar_t* const patterns[] = {L"\\..\\", L"\\../", L"/../", L"/..\\"};
    for (const wchar_t* p : patterns) {
        size_t at = name.find(p);
        if (at != std::wstring::npos) {
            name.erase(0, at + 4);
            return true;
        }
    }
    return false;
}

uint32_t ReadLe32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsAbsoluteArchivePath(const std::wstring& path)
{
    return (!path.empty() && IsPathSeparator(path[0])) || (path.size() > 1 && path[1] == L':');
}

bool MakeSafeEntryName(const std::wstring& raw, std::wstring& name)
{
    if (raw.find(L'\0') != std::wstring::npos) return false;
    std::wstring n = raw;
    for (;;) {
        if (n.size() >= 2 && n[1] == L':') {
            n.erase(0, 2);
        } else if (!n.empty() && IsPathSeparator(n[0])) {
            n.erase(0, 1);
        } else if (!DropUpToInnerParent(n)) {
            break;
        }
    }
    // One form for every spelling: the parts that name something, joined by single '/'.
    std::wstring canonical;
    bool lastNamesNothing = false;  // a trailing separator or "." part: the name ends in '/'
    size_t start = 0;
    while (start <= n.size()) {
        size_t end = std::min(n.find_first_of(L"/\\", start), n.size());
        std::wstring_view part(n.data() + start, end - start);
        lastNamesNothing = part.empty() || part == L".";
        if (part == L"..") return false;  // only a leading or trailing one survives the stripping
        if (!lastNamesNothing) {
            if (!canonical.empty()) canonical += L'/';
            canonical += part;
        }
        start = end + 1;
    }
    if (lastNamesNothing && !canonical.empty()) canonical += L'/';
    // A drive that the stripping did not see ("./C:/x") would make the target absolute.
    if (IsAbsoluteArchivePath(canonical)) return false;
    name = canonical;
    return true;
}

uint32_t AttributesFromZip(uint32_t external, int host)
{
    bool directory = (external & 0x40000000u) != 0;
    bool readOnly, hidden = false, system = false, archive = true;
    if (host == 0 || host == 7 || host == 11 || host == 14) {
        readOnly = external & 0x1;
        hidden = external & 0x2;
        system = external & 0x4;
        directory = external & 0x10;
        archive = external & 0x20;
    } else {
        readOnly = (external & 0x800000u) == 0;
    }
    uint32_t attributes = 0;
    if (directory) attributes |= FILE_ATTR_DIRECTORY;
    if (archive) attributes |= FILE_ATTR_ARCHIVE;
    if (hidden) attributes |= FILE_ATTR_HIDDEN;
    if (readOnly) attributes |= FILE_ATTR_READONLY;
    if (system) attributes |= FILE_ATTR_SYSTEM;
    return attributes;
}

unsigned ModeFromAttributes(uint32_t attributes)
{
    if (attributes & FILE_ATTR_DIRECTORY) return 0755;
    return (attributes & FILE_ATTR_READONLY) ? 0444 : 0644;
}

FileTime ZipDosTimeToFileTime(uint16_t date, uint16_t time)
{
    std::tm tm{};
    tm.tm_year = 1980 + (date >> 9) - 1900;
    tm.tm_mon = ((date >> 5) & 0xF) - 1;
    tm.tm_mday = date & 0x1F;
    tm.tm_hour = time >> 11;
    tm.tm_min = (time >> 5) & 0x3F;
    tm.tm_sec = 2 * (time & 0x1F);
    tm.tm_isdst = -1;
    std::time_t t = std::mktime(&tm);
    if (t == std::time_t(-1)) return 0;
    return FileTime(int64_t(t) + kSecondsFrom1601To1970) * kTicksPerSecond;
}

FileTime UnixTimeToFileTime(int32_t t)
{
    return FileTime(int64_t(t) + kSecondsFrom1601To1970) * kTicksPerSecond;
}

void FileTimeToUnix(FileTime ft, int64_t& seconds, long& nanoseconds)
{
    int64_t ticks = int64_t(ft) - kSecondsFrom1601To1970 * int64_t(kTicksPerSecond);
    int64_t s = ticks / int64_t(kTicksPerSecond);
    int64_t rest = ticks % int64_t(kTicksPerSecond);
    if (rest < 0) {
        rest += kTicksPerSecond;
        --s;
    }
    seconds = s;
    nanoseconds = long(rest * 100);
}

void ApplyExtendedTimestamp(const unsigned char* extra, size_t size, EntryTimes& times)
{
    if (!extra || size <= 4) return;
    size_t offset = 0;
    while (offset + 4 < size) {
        const unsigned char* block = extra + offset;
        size_t dataSize = size_t(block[2]) | size_t(block[3]) << 8;
        if (block[0] == 'U' && block[1] == 'T') {
            if (dataSize > size - offset - 4) dataSize = size - offset - 4;
            if (dataSize < 1) return;
            const unsigned char* data = block + 4;
            unsigned flags = data[0];
            size_t at = 1;
            FileTime* targets[] = {&times.lastWrite, &times.lastAccess, &times.creation};
            for (int bit = 0; bit < 3; ++bit) {
                if (!(flags & (1u << bit))) continue;
                if (at + 4 > dataSize) return;
                *targets[bit] = UnixTimeToFileTime(int32_t(ReadLe32(data + at)));
                at += 4;
            }
            return;
        }
        offset += 4 + dataSize;
    }
}

}  // namespace RYL

namespace RYL {

namespace {

uint16_t Le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const unsigned char* p) { return uint32_t(Le16(p)) | uint32_t(Le16(p + 2)) << 16; }
uint64_t Le64(const unsigned char* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

}  // namespace

std::wstring DecodeEntryName(const char* raw, size_t length, unsigned flags, const unsigned char* extra,
                             size_t size)
{
    if (flags & 0x800) return plat::WideFromNarrow(std::string(raw, length));
    size_t offset = 0;
    while (extra && offset + 4 <= size) {
        size_t dataSize = Le16(extra + offset + 2);
        if (dataSize > size - offset - 4) break;
        const unsigned char* data = extra + offset + 4;
        if (Le16(extra + offset) == 0x7075 && dataSize >= 5 && data[0] == 1 &&
            Le32(data + 1) == uint32_t(crc32(0, reinterpret_cast<const Bytef*>(raw), uInt(length))))
            return plat::WideFromNarrow(std::string(reinterpret_cast<const char*>(data + 5), dataSize - 5));
        offset += 4 + dataSize;
    }
    std::wstring name;
    TextDecoder(L"cp437").Decode(raw, length, true, name);
    return name;
}

bool EntryExtractionName(const char* raw, size_t length, unsigned flags, const unsigned char* extra, size_t size,
                         std::wstring& name)
{
    if (std::memchr(raw, 0, length)) return false;
    return MakeSafeEntryName(DecodeEntryName(raw, length, flags, extra, size), name);
}

bool ApplyZip64Extra(const unsigned char* extra, size_t size, EntryLocation& location)
{
    uint64_t* fields[] = {&location.uncompressedSize, &location.compressedSize,
                          &location.localHeaderOffset};
    bool needed = false;
    for (uint64_t* f : fields) needed = needed || *f == 0xFFFFFFFFu;
    if (!needed) return true;
    size_t offset = 0;
    while (extra && offset + 4 <= size) {
        size_t dataSize = Le16(extra + offset + 2);
        if (dataSize > size - offset - 4) return false;
        if (Le16(extra + offset) == 0x0001) {
            const unsigned char* data = extra + offset + 4;
            size_t at = 0;
            for (uint64_t* f : fields) {
                if (*f != 0xFFFFFFFFu) continue;
                if (at + 8 > dataSize) return false;
                *f = Le64(data + at);
                at += 8;
            }
            return true;
        }
        offset += 4 + dataSize;
    }
    return false;
}

bool CheckLocalHeader(const unsigned char* h, const LocalHeaderCheck& central, size_t& nameLength,
                      size_t& extraLength)
{
    if (Le32(h) != 0x04034B50u) return false;
    if (Le16(h + 8) != central.method) return false;
    bool descriptor = (central.flags & 0x8) != 0;
    uint32_t crc = Le32(h + 14), compressed = Le32(h + 18), uncompressed = Le32(h + 22);
    if (!descriptor) {
        if (crc != central.crc) return false;
        if (compressed != 0xFFFFFFFFu && compressed != central.compressedSize) return false;
        if (uncompressed != 0xFFFFFFFFu && uncompressed != central.uncompressedSize) return false;
    }
    nameLength = Le16(h + 26);
    extraLength = Le16(h + 28);
    return nameLength == central.nameLength;
}

bool IsEmptyArchive(const unsigned char* d, size_t size, uint64_t archiveSize)
{
    if (size < 22 || Le32(d) != 0x06054B50u) return false;
    for (size_t at = 4; at < 20; ++at) {
        if (d[at] != 0) return false;  // disk numbers, counts, directory size and offset
    }
    return archiveSize == 22u + Le16(d + 20);
}

}  // namespace RYL
