// Encodings of markup document files: encoding names and code pages, the UTF codecs, conversion
// between code pages (byte code pages through iconv) and sniffing a text's declared encoding.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace RYL {

inline constexpr int kCodePageAnsi = 0;  // UTF-8 here
inline constexpr int kCodePageUtf16 = 1200;
inline constexpr int kCodePageUtf16BE = 1201;
inline constexpr int kCodePageUtf8 = 65001;
inline constexpr int kCodePageUtf32 = 65005;  // UTF-32 through the codecs below

// 365 encoding names of the code pages, in buckets by HashTextModulo of the lower-cased name.
class EncodingCodePageTable {
public:
    static constexpr uint32_t kBuckets = 155;
    static const EncodingCodePageTable& Get();

    // Code page of a lower-case name compared exactly, -1 when absent.
    int Find(const wchar_t* name, size_t length) const;
    size_t Size() const { return size_; }

private:
    EncodingCodePageTable();
    // Each bucket holds entries of two digits (name length), five digits (code page), the name.
    std::wstring buckets_[kBuckets];
    size_t size_ = 0;
};

// "" gives 0 (ANSI); a name beginning "UTF-32" (that case) 65005; 100 units or more, or an
// unknown name, -1.
int EncodingNameToCodePage(const std::wstring& name);

// Sum of the name's units (ASCII letters lower-cased when folding) modulo 23.
uint32_t HashTagName(const wchar_t* name, size_t length, bool fold);

inline constexpr uint32_t kInvalidCode = 0xFFFFFFFFu;

// UTF-16: a high surrogate followed by a low one combines; any other surrogate is invalid.
// Decoders return the code point (kInvalidCode for an invalid unit) and move i past it.
uint32_t DecodeUtf16(const uint16_t* units, size_t length, size_t& i);
// Units written (out may be null to count): 1, or 2 above 0xFFFF.
size_t EncodeUtf16(uint32_t code, uint16_t* out);

// UTF-8 as the markup files use it: a lead byte from 0x80 up takes 1, 2 or 3 further bytes by its
// bits 5, 4 and 3 (all three set: invalid); a further byte is any byte from 0x80 up.
uint32_t DecodeUtf8(const unsigned char* bytes, size_t length, size_t& i);
size_t EncodeUtf8(uint32_t code, unsigned char* out);  // 1 to 4 bytes

struct Utf8Check {
    size_t multibyte = 0;  // multibyte sequences before the end or the first invalid one
    bool valid = true;
    bool cut = false;      // the buffer's end cuts the last sequence
    size_t completeLength = 0;  // bytes up to a cut or invalid sequence
};
Utf8Check CheckUtf8(const unsigned char* bytes, size_t length);

// Decodes bytes of one encoding into text, chunk by chunk: an incomplete character at the end of a
// chunk is left unconsumed unless the chunk is the last. Undecodable bytes give U+FFFD, or '?'
// through the UTF-16 and UTF-32 codecs.
class TextDecoder {
public:
    explicit TextDecoder(const std::wstring& encoding);
    ~TextDecoder();
    TextDecoder(const TextDecoder&) = delete;
    TextDecoder& operator=(const TextDecoder&) = delete;

    // Appends the text to out and returns the bytes consumed.
    size_t Decode(const char* bytes, size_t length, bool last, std::wstring& out);
    int CodePage() const { return codePage_; }

private:
    int codePage_;
    bool bigEndian_ = false;
    void* iconv_ = nullptr;
};

// Encodes text into one encoding. Characters the code page lacks become its '?', and make the
// conversion lossy where the code page reports it.
class TextEncoder {
public:
    explicit TextEncoder(const std::wstring& encoding);
    ~TextEncoder();
    TextEncoder(const TextEncoder&) = delete;
    TextEncoder& operator=(const TextEncoder&) = delete;

    // Appends the bytes to out (counts only when out is null) and returns their number.
    size_t Encode(const wchar_t* text, size_t length, std::string* out);
    bool Lossy() const { return lossy_; }
    int CodePage() const { return codePage_; }

private:
    int codePage_;
    bool bigEndian_ = false;
    bool reportsLoss_ = false;
    bool lossy_ = false;
    void* iconv_ = nullptr;
    std::string question_;  // '?' in the code page
};

// Converts between two encodings; an empty or unknown name stands for ANSI.
class CodePageConverter {
public:
    CodePageConverter(const std::wstring& from, const std::wstring& to) : from_(from), to_(to) {}

    // Source bytes to text: the number of units (only counted when out is null).
    size_t ToText(const char* data, size_t length, std::wstring* out);
    // Text to target bytes: the number of bytes.
    size_t FromText(const wchar_t* data, size_t length, std::string* out);
    // Source bytes to target bytes through text. From a byte code page other than UTF-8 to
    // UTF-32 (65005) nothing is produced.
    size_t Convert(const char* data, size_t length, std::string* out);
    bool Lossy() const { return lossy_; }

private:
    std::wstring from_, to_;
    bool lossy_ = false;
};

// The encoding a text declares: the "encoding" of an xml declaration at its very start, or the
// charset of an html meta Content-Type; empty when it declares none.
std::wstring SniffEncoding(const std::wstring& text);

}  // namespace RYL
