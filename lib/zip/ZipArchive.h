// Zip extraction: opens an archive (file name, open file or memory block) and extracts its
// entries one at a time, with safe names, attributes and file times. Every operation reports an
// ArchiveResult; nothing is thrown or logged.
#pragma once
#include <cstdint>

#include "ZipEntryInfo.h"

namespace RYL {

using ArchiveResult = uint32_t;
enum : ArchiveResult {
    ARC_OK = 0x00000000,
    ARC_CANNOT_OPEN = 0x00000200,
    ARC_WRITE_ERROR = 0x00000400,
    ARC_MORE_DATA = 0x00000600,
    ARC_BAD_ARCHIVE = 0x00000700,   // also: an entry whose name is unsafe or too long, or that
                                    // extracts to the name of another entry
    ARC_READ_ERROR = 0x00000800,
    ARC_BAD_PASSWORD = 0x00001000,
    ARC_BAD_ARGUMENT = 0x00010000,
    ARC_WRONG_HANDLE = 0x00080000,
    ARC_ALREADY_OPEN = 0x01000000,
    ARC_CANNOT_SEEK = 0x02000000,
    ARC_INFLATE_ERROR = 0x05000000, // also: a size or CRC-32 that does not match
};

// Source and target kinds. A file handle is given as a pointer to an int file descriptor.
enum : int {
    ARC_KIND_HANDLE = 1,
    ARC_KIND_FILE_NAME = 2,   // const wchar_t* path
    ARC_KIND_MEMORY = 3,      // block and its length
};

constexpr int kArchiveNameUnits = 260;

struct ArchiveItem {
    int32_t index = 0;                 // for index -1: the number of entries
    wchar_t name[kArchiveNameUnits] = {};
    uint32_t attributes = 0;           // FILE_ATTR_* bits
    FileTime lastAccess = 0;
    FileTime creation = 0;             // kept in the item; Linux cannot set it on a file
    FileTime lastWrite = 0;
    int64_t compressedSize = 0;
    int64_t uncompressedSize = 0;
};

class ArchiveReader;

struct ArchiveHandle {
    int32_t kind;            // 1: archive reader
    ArchiveReader* reader;   // owned
};

ArchiveHandle* OpenArchive(const wchar_t* zipPath, const char* password);
// length: the size of a memory block (kind 3).
ArchiveHandle* OpenArchiveFrom(const void* source, uint64_t length, int sourceKind,
                               const char* password);
ArchiveResult SetExtractDir(ArchiveHandle* handle, const wchar_t* dir);
ArchiveResult GetArchiveItem(ArchiveHandle* handle, int index, ArchiveItem* item);
ArchiveResult ExtractItem(ArchiveHandle* handle, int index, const wchar_t* targetPath);
// A memory target (kind 3) of length bytes is filled from the start on every call;
// ARC_MORE_DATA: it is full and the next call with the same index goes on.
ArchiveResult ExtractItemTo(ArchiveHandle* handle, int index, const void* target, uint64_t length,
                            int targetKind);
ArchiveResult CloseArchive(ArchiveHandle* handle);

}  // namespace RYL
