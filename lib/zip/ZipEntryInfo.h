// Pure rules of the zip layer: safe entry names, file attributes and entry times.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace RYL {

// Windows FILETIME: 100 ns units since 1601-01-01 UTC.
using FileTime = uint64_t;

enum : uint32_t {
    FILE_ATTR_READONLY = 0x1,
    FILE_ATTR_HIDDEN = 0x2,
    FILE_ATTR_SYSTEM = 0x4,
    FILE_ATTR_DIRECTORY = 0x10,
    FILE_ATTR_ARCHIVE = 0x20,
};

bool IsPathSeparator(wchar_t c);  // '/' or '\'
// The design's absolute path: a leading separator or a drive letter.
bool IsAbsoluteArchivePath(const std::wstring& path);

// The entry name as it will be extracted, in one canonical form, so that two names for one file
// compare equal: drive prefixes, leading separators and everything up to an inner ".." dropped,
// '\' turned into '/', empty and "." parts dropped (a trailing '/' stays). False when the name
// holds a NUL or what remains would still leave the extraction directory (a ".." part, a drive).
bool MakeSafeEntryName(const std::wstring& raw, std::wstring& name);

// The text of an entry's raw name: UTF-8 when the entry's flag bit 11 says so, else the UTF-8
// name of an Info-ZIP Unicode Path block (id 0x7075) of the central extra field that belongs to
// this raw name (its CRC-32 matches), else code page 437 as the zip format defines.
std::wstring DecodeEntryName(const char* raw, size_t length, unsigned flags, const unsigned char* centralExtra,
                             size_t extraSize);

// The extraction name of an entry's raw name (see DecodeEntryName and MakeSafeEntryName); a NUL
// anywhere in the raw bytes refuses the entry, whatever name the extra field gives.
bool EntryExtractionName(const char* raw, size_t length, unsigned flags, const unsigned char* centralExtra,
                         size_t extraSize, std::wstring& name);

// Windows attribute bits from the zip external attributes and the host system (the high byte of
// "version made by").
uint32_t AttributesFromZip(uint32_t externalAttributes, int host);

// File mode for a file with these attributes: read-only has no write bits.
unsigned ModeFromAttributes(uint32_t attributes);

// DOS date and time, read as local time.
FileTime ZipDosTimeToFileTime(uint16_t date, uint16_t time);
FileTime UnixTimeToFileTime(int32_t t);
// Seconds and nanoseconds since 1970-01-01 UTC (floor division for earlier times).
void FileTimeToUnix(FileTime ft, int64_t& seconds, long& nanoseconds);

struct EntryTimes {
    FileTime lastAccess = 0;
    FileTime creation = 0;
    FileTime lastWrite = 0;
};

// Applies the first "UT" block of a local extra field: flag bit 0 modification, bit 1 access,
// bit 2 creation, each a little-endian 32-bit Unix time. Blocks that run past the field end the
// walk; a time that does not fit in its block is not read.
void ApplyExtendedTimestamp(const unsigned char* extra, size_t size, EntryTimes& times);

}  // namespace RYL

namespace RYL {

// Sizes and the local header offset of an entry as its central record gives them; a field of
// 0xFFFFFFFF is replaced from the zip64 block (id 1) of the central extra field, in the order
// uncompressed size, compressed size, offset. False when a needed value is missing.
struct EntryLocation {
    uint64_t uncompressedSize = 0;
    uint64_t compressedSize = 0;
    uint64_t localHeaderOffset = 0;
};
bool ApplyZip64Extra(const unsigned char* extra, size_t size, EntryLocation& location);

// What the local header must agree on with the central record.
struct LocalHeaderCheck {
    unsigned flags = 0;
    unsigned method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    size_t nameLength = 0;
};
constexpr size_t kLocalHeaderSize = 30;
// Checks the fixed part of a local header; gives the lengths of its name and extra field.
bool CheckLocalHeader(const unsigned char* header, const LocalHeaderCheck& central,
                      size_t& nameLength, size_t& extraLength);

// True for an archive of no entries: only an end record (and its comment).
bool IsEmptyArchive(const unsigned char* data, size_t size, uint64_t archiveSize);

}  // namespace RYL
