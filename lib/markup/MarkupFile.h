// The file state of a markup document in read-file or write-file mode.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "markup/MarkupEncoding.h"

namespace RYL {

inline constexpr uint8_t kFileUtf16 = 0x01;
inline constexpr uint8_t kFileBigEndian = 0x80;

struct FileState {
    FILE* stream = nullptr;
    uint8_t format = 0;         // kFileUtf16, kFileBigEndian
    size_t chunkLength = 0;     // bytes per read
    size_t bufferSize = 0;      // write-file mode: the text size that makes a write
    uint64_t fileSize = 0;
    uint64_t filePosition = 0;  // of the next read
    size_t unitSize = 1;        // 2 for UTF-16
    std::wstring result;        // the file result text
    std::wstring encoding;      // empty: not known yet
    uint64_t nullsRemoved = 0;
    uint64_t convertedUnits = 0;
    uint64_t convertedBytes = 0;
    bool wroteAny = false;
    wchar_t lastWrittenUnit = 0;
    std::unique_ptr<TextDecoder> decoder;
    std::unique_ptr<TextEncoder> encoder;
};

}  // namespace RYL
