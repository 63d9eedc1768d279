// Read-file and write-file modes of MarkupDocument.
#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>
#include <sys/stat.h>

#include "Errors.h"
#include "Text.h"
#include "markup/MarkupDocument.h"
#include "markup/MarkupFile.h"
#include "markup/NodeScanner.h"

namespace RYL {
namespace {

// A character that a chunk cut leaves for the next read is never longer than this.
constexpr size_t kMaxCut = 40;

bool HasResult(const std::wstring& result, const wchar_t* name) {
    std::wstring open = std::wstring(L"<") + name;
    for (size_t at = 0; (at = result.find(open, at)) != std::wstring::npos; at += open.size()) {
        wchar_t next = at + open.size() < result.size() ? result[at + open.size()] : 0;
        if (next == L' ' || next == L'/') return true;
    }
    return false;
}

// Adds the result, or updates the element already there.
void NoteResult(std::wstring& result, const wchar_t* name, const wchar_t* text = nullptr, int flags = 0,
                int number = -1) {
    if (HasResult(result, name)) {
        if (text || number != -1) AddResult(result, name, text, flags | kResultFind, number);
    } else {
        AddResult(result, name, text, flags, number);
    }
}

std::wstring ShownEncoding(const FileState& f) { return f.encoding.empty() ? L"ANSI" : f.encoding; }

}  // namespace

// Feeds the scanner chunk by chunk from the file.
class FileTextSource : public TextSource {
public:
    explicit FileTextSource(MarkupDocument& doc) : doc_(doc) {}

    bool More(size_t tokenStart) override {
        FileState& f = *doc_.file_;
        if (!f.stream || f.filePosition >= f.fileSize) return false;
        // More than half of the loaded text still unparsed (one long token): read more at a time.
        size_t unparsed = doc_.text_.size() - tokenStart;
        if (unparsed * 2 > doc_.text_.size()) f.chunkLength *= 2;
        return doc_.ReadChunk();
    }
    const wchar_t* Text() const override { return doc_.text_.c_str(); }

private:
    MarkupDocument& doc_;
};

const std::wstring& MarkupDocument::GetFileResult() const {
    static const std::wstring none;
    return file_ ? file_->result : none;
}

std::unique_ptr<TextSource> MarkupDocument::ReadSource() { return std::make_unique<FileTextSource>(*this); }

void MarkupDocument::FileError() {
    uint32_t code = plat::CodeFromErrno(errno);
    std::wstring message;
    plat::SystemErrorText(code, message);
    size_t lineBreak = message.find_first_of(L"\r\n");
    if (lineBreak != std::wstring::npos) message.resize(lineBreak);
    if (message.size() > 100) message.resize(100);
    AddResult(file_->result, L"file_error", message.c_str(), kResultMsg | kResultN, int(code));
}

bool MarkupDocument::OpenFile(const std::wstring& path, uint32_t fileMode, const std::wstring& encoding,
                              size_t chunkBytes) {
    if ((mode_ & (kModeReadFile | kModeWriteFile)) || (fileMode != kModeReadFile && fileMode != kModeWriteFile))
        return false;
    SetDocument(static_cast<const wchar_t*>(nullptr));  // a failed open leaves an empty document
    file_ = std::make_unique<FileState>();
    FileState& f = *file_;
    f.encoding = encoding;
    f.chunkLength = chunkBytes < 4 ? 4 : chunkBytes;
    f.bufferSize = chunkBytes;
    bool reading = fileMode == kModeReadFile;
    f.stream = fopen(plat::NarrowFromWide(path).c_str(), reading ? "rb" : "wb");
    if (!f.stream) {
        FileError();
        return false;
    }
    int cp = EncodingNameToCodePage(f.encoding);
    if (cp == kCodePageUtf16 || cp == kCodePageUtf16BE) {
        f.format = kFileUtf16 | (cp == kCodePageUtf16BE ? kFileBigEndian : 0);
        f.unitSize = 2;
    }
    if (!reading) {
        mode_ |= kModeWriteFile;
        Parse();
        return true;
    }

    struct stat st;
    bool statOk = fstat(fileno(f.stream), &st) == 0;
    if (!statOk || S_ISDIR(st.st_mode)) {
        if (statOk) errno = EISDIR;
        FileError();
        fclose(f.stream);
        f.stream = nullptr;
        return false;
    }
    f.fileSize = uint64_t(st.st_size);
    unsigned char head[4] = {0, 0, 0, 0};
    size_t got = fread(head, 1, 4, f.stream);
    // A mark wins over the name given. The UTF-32 marks begin like the UTF-16 ones, so they are
    // tested first.
    if (got == 4 && head[0] == 0xFF && head[1] == 0xFE && head[2] == 0 && head[3] == 0) {
        f.format = 0;
        f.encoding = L"UTF-32";
        f.filePosition = 4;
    } else if (got == 4 && head[0] == 0 && head[1] == 0 && head[2] == 0xFE && head[3] == 0xFF) {
        f.format = 0;
        f.encoding = L"UTF-32BE";
        f.filePosition = 4;
    } else if (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
        f.format = kFileUtf16;
        f.encoding = L"UTF-16";
        f.filePosition = 2;
    } else if (got >= 2 && head[0] == 0xFE && head[1] == 0xFF) {
        f.format = kFileUtf16 | kFileBigEndian;
        f.encoding = L"UTF-16BE";
        f.filePosition = 2;
    } else if (got >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
        f.format = 0;  // over a UTF-16 name given by the caller
        f.encoding = L"UTF-8";
        f.filePosition = 3;
    }
    f.unitSize = (f.format & kFileUtf16) ? 2 : 1;
    if (f.unitSize == 1 && f.encoding.empty()) {
        // The declaration, read from the file's beginning widened byte by byte.
        std::string bytes(size_t(f.fileSize < 65536 ? f.fileSize : 65536), '\0');
        fseeko(f.stream, 0, SEEK_SET);
        bytes.resize(fread(bytes.data(), 1, bytes.size(), f.stream));
        std::wstring sniffed = SniffEncoding(std::wstring(bytes.begin(), bytes.end()));
        int sniffedPage = EncodingNameToCodePage(sniffed);
        if (sniffedPage != kCodePageUtf16 && sniffedPage != kCodePageUtf16BE) f.encoding = sniffed;
    }
    mode_ |= kModeReadFile;
    bool ok = true;
    while (text_.empty() && f.filePosition < f.fileSize && (ok = ReadChunk())) {
    }
    if (ok) Parse();
    if (f.stream) fclose(f.stream);
    f.stream = nullptr;
    if (ok && !HasResult(f.result, L"file_error")) return true;
    mode_ &= ~kModeReadFile;
    SetDocument(static_cast<const wchar_t*>(nullptr));
    return false;
}

bool MarkupDocument::ReadChunk() {
    FileState& f = *file_;
    for (;;) {
        size_t want = f.chunkLength;
        if (f.unitSize == 2) want &= ~size_t(1);
        std::string bytes(want, '\0');
        if (fseeko(f.stream, off_t(f.filePosition), SEEK_SET) != 0) {
            FileError();
            return false;
        }
        size_t n = fread(bytes.data(), 1, want, f.stream);
        if (n < want && ferror(f.stream)) {
            FileError();
            return false;
        }
        if (n == 0) {
            f.filePosition = f.fileSize;
            return false;
        }
        bytes.resize(n);
        bool last = f.filePosition + n >= f.fileSize;
        if (f.format & kFileBigEndian) {
            for (size_t k = 0; k + 1 < n; k += 2) std::swap(bytes[k], bytes[k + 1]);
            NoteResult(f.result, L"endian_swap");
        }
        bool byteFile = !(f.format & kFileUtf16);
        if (byteFile && f.encoding.empty()) {
            Utf8Check check = CheckUtf8(reinterpret_cast<const unsigned char*>(bytes.data()), n);
            if ((check.valid && check.multibyte) || check.cut) {
                f.encoding = L"UTF-8";
                f.decoder.reset();
                NoteResult(f.result, L"utf8_detection");
            }
        }
        if (!f.decoder) f.decoder = std::make_unique<TextDecoder>(byteFile ? f.encoding : L"UTF-16");
        std::wstring units;
        size_t consumed = f.decoder->Decode(bytes.data(), n, last, units);
        if (!last && n - consumed > kMaxCut) {
            NoteResult(f.result, L"truncation_error", ShownEncoding(f).c_str(), kResultEncoding);
            consumed += f.decoder->Decode(bytes.data() + consumed, n - consumed, true, units);
        }
        if (consumed == 0) {
            f.chunkLength *= 2;  // one character longer than the chunk
            continue;
        }
        f.filePosition += consumed;
        size_t kept = 0;
        for (wchar_t c : units)
            if (c) units[kept++] = c;
        if (kept < units.size()) {
            f.nullsRemoved += units.size() - kept;
            units.resize(kept);
            NoteResult(f.result, L"nulls_removed", nullptr, kResultCount, int(f.nullsRemoved));
        }
        if (byteFile) {
            f.convertedUnits += units.size();
            NoteResult(f.result, L"converted_to", ShownEncoding(f).c_str(), kResultEncoding | kResultLength,
                       int(f.convertedUnits));
        }
        NoteResult(f.result, L"read", ShownEncoding(f).c_str(), kResultEncoding | kResultLength,
                   int(f.filePosition));
        text_ += units;
        return true;
    }
}

bool MarkupDocument::WriteBeforeGrowth(uint32_t parent, uint32_t& previous, int& flags, size_t growth) {
    size_t limit = std::max(file_->bufferSize, text_.capacity());
    if (text_.size() + growth <= limit) return true;
    // Everything before the new element is complete: write it and let it go. An empty parent is
    // about to be rewritten, so the text before it is what can go.
    size_t cut = InsertionPoint(parent, previous, flags);
    if (parent && tree_[parent].length == tree_[parent].startTagLength) cut = tree_[parent].start;
    if (cut == 0) return true;
    if (!WriteText(cut)) return false;
    DropWrittenText(cut);
    if (previous && !IsPosition(previous)) {
        previous = 0;
        flags |= kAddBefore;
    }
    return true;
}

bool MarkupDocument::WriteBeforeAttribute(uint32_t pos, size_t growth) {
    size_t limit = std::max(file_->bufferSize, text_.capacity());
    if (text_.size() + growth <= limit) return true;
    size_t cut = tree_[pos].start;
    if (cut == 0) return true;
    if (!WriteText(cut)) return false;
    DropWrittenText(cut);
    return true;
}

bool MarkupDocument::WriteText(size_t length) {
    FileState& f = *file_;
    if (!length || !f.stream) return true;
    if (!f.encoder) {
        if (f.encoding.empty()) f.encoding = SniffEncoding(text_);
        if (f.encoding.empty()) f.encoding = L"UTF-8";
        f.encoder = std::make_unique<TextEncoder>(f.encoding);
    }
    bool utf16 = f.encoder->CodePage() == kCodePageUtf16 || f.encoder->CodePage() == kCodePageUtf16BE;
    std::string bytes;
    if (utf16 && !f.wroteAny) {
        // The byte-order mark that read-file mode recognises.
        bool big = f.encoder->CodePage() == kCodePageUtf16BE;
        bytes.push_back(char(big ? 0xFE : 0xFF));
        bytes.push_back(char(big ? 0xFF : 0xFE));
    }
    size_t encoded = f.encoder->Encode(text_.data(), length, &bytes);
    if (fwrite(bytes.data(), 1, bytes.size(), f.stream) != bytes.size()) {
        FileError();
        return false;
    }
    f.wroteAny = true;
    f.lastWrittenUnit = text_[length - 1];
    AddResult(f.result, L"write", f.encoding.c_str(), kResultEncoding | kResultLength, int(length));
    if (!utf16) {
        f.convertedBytes += encoded;
        NoteResult(f.result, L"converted_from", f.encoding.c_str(), kResultEncoding | kResultLength,
                   int(f.convertedBytes));
        if (f.encoder->Lossy()) NoteResult(f.result, L"conversion_loss");
    }
    return true;
}

// Elements wholly inside the written text go to the free list; elements around its end keep what
// is left of them (their start tags are gone); the rest move back.
void MarkupDocument::DropWrittenText(size_t length) {
    text_.erase(0, length);
    const uint32_t cut = uint32_t(length);
    std::vector<uint32_t> parents = {0};
    while (!parents.empty()) {
        uint32_t parent = parents.back();
        parents.pop_back();
        uint32_t first = tree_[parent].firstChild;
        uint32_t last = first ? tree_[first].previousSibling : 0;
        uint32_t c = first;
        while (c && tree_[c].start + tree_[c].length <= cut) {
            uint32_t next = tree_[c].nextSibling;
            FreeSubtree(c);
            c = next;
        }
        if (c != first) {
            tree_[parent].firstChild = c;
            if (c) {
                tree_[c].previousSibling = last;
                tree_[c].flags |= kElemFirstChild;
            }
        }
        for (; c; c = tree_[c].nextSibling) {
            ElementRecord& r = tree_[c];
            if (r.start < cut) {
                r.length -= cut - r.start;
                r.start = 0;
                r.startTagLength = 0;
                r.flags |= kElemStartWritten;
                parents.push_back(c);
            } else {
                for (uint32_t d = c; d; d = NextInSubtree(d, c)) tree_[d].start -= cut;
            }
        }
    }
    tree_[0].length = uint32_t(text_.size());
    if (!IsPosition(currentPos_)) currentPos_ = 0;
    if (!IsPosition(childPos_)) childPos_ = 0;
    nodeKind_ = currentPos_ ? 1 : 0;
}

void MarkupDocument::FreeSubtree(uint32_t pos) {
    std::vector<uint32_t> pending = {pos};
    while (!pending.empty()) {
        uint32_t p = pending.back();
        pending.pop_back();
        for (uint32_t c = tree_[p].firstChild; c; c = tree_[c].nextSibling) pending.push_back(c);
        tree_[p].flags = kElemFreePosition;
        tree_[p].nextSibling = uint32_t(freeList_);
        freeList_ = int32_t(p);
    }
}

bool MarkupDocument::CloseFile() {
    if (!file_ || !(mode_ & (kModeReadFile | kModeWriteFile))) return false;
    FileState& f = *file_;
    bool ok = true;
    if (mode_ & kModeWriteFile) {
        ok = WriteText(text_.size());
        if (ok) DropWrittenText(text_.size());
        if (f.stream && fflush(f.stream) != 0) {
            if (ok) FileError();
            ok = false;
        }
    }
    if (f.stream && fclose(f.stream) != 0 && ok) {
        FileError();
        ok = false;
    }
    f.stream = nullptr;
    f.decoder.reset();
    f.encoder.reset();
    mode_ &= ~(kModeReadFile | kModeWriteFile);
    return ok;
}

}  // namespace RYL
