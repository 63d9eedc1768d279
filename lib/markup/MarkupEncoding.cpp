#include "markup/MarkupEncoding.h"

#include <errno.h>
#include <iconv.h>

#include <cwchar>
#include <initializer_list>

#include "Text.h"
#include "markup/MarkupText.h"
#include "markup/NodeScanner.h"
#include "markup/TagAttributes.h"

namespace RYL {
namespace {

struct CodePageNames {
    int codePage;
    std::initializer_list<const wchar_t*> names;
};

const CodePageNames kCodePageNames[] = {
    {154, {L"cp154", L"csptcp154", L"cyrillic-asian", L"pt154", L"ptcp154"}},
    {437, {L"codepage437", L"cp437", L"cspc8", L"cspc8codepage437", L"ibm437"}},
    {500, {L"cp500", L"csibm500", L"ebcdic-cp-be", L"ebcdic-cp-ch"}},  // EBCDIC
    {708, {L"asmo-708"}},
    {720, {L"dos-720"}},
    {737, {L"cp737", L"ibm737"}},
    {775, {L"cp775", L"cspc775baltic", L"ibm775"}},
    {850, {L"cp850", L"cspc850multilingual", L"ibm850"}},
    {852, {L"cp852", L"cspcp852", L"ibm852"}},
    {853, {L"cp853"}},
    {855, {L"cp855", L"csibm855", L"ibm855"}},
    {857, {L"cp857", L"csibm857", L"ibm857"}},
    {858, {L"ccsid00858", L"cp00858", L"cp858", L"ibm00858", L"pc-multilingual-850+euro"}},
    {860, {L"cp860", L"csibm860", L"ibm860"}},
    {861, {L"cp-is", L"cp861", L"csibm861", L"ibm861"}},
    {862, {L"cp862", L"cspc862latinhebrew", L"dos-862", L"ibm862"}},
    {863, {L"cp863", L"csibm863", L"ibm863"}},
    {864, {L"cp864", L"csibm864", L"ibm864"}},
    {865, {L"cp865", L"csibm865", L"ibm865"}},
    {866, {L"cp866", L"csibm866", L"ibm866"}},
    {869, {L"cp-gr", L"cp869", L"csibm869", L"ibm869"}},
    {874, {L"cp874", L"dos-874", L"iso-8859-11", L"tis-620", L"windows-874"}},
    {932, {L"cp932", L"csshiftjis", L"cswindows31j", L"ms932", L"ms_kanji", L"shifft_jis", L"shifft_jis-ms", L"shift-jis", L"shift_jis", L"sjis", L"sjis-ms", L"sjis-open", L"sjis-win", L"windows-31j", L"windows-932", L"x-ms-cp932", L"x-sjis"}},
    {936, {L"chinese", L"cn-gb", L"cp936", L"csgb2312", L"csgb231280", L"csiso58gb231280", L"gb2312", L"gb2312-80", L"gb231280", L"gb_2312-80", L"gbk", L"iso-ir-58", L"ms936", L"windows-936"}},
    {949, {L"cp949", L"csksc56011987", L"iso-ir-149", L"korean", L"ks-c-5601", L"ks-c5601", L"ks_c_5601", L"ks_c_5601-1987", L"ks_c_5601-1989", L"ks_c_5601_1987", L"ksc5601", L"ksc_5601", L"uhc"}},
    {950, {L"big5", L"big5-hkscs", L"cn-big5", L"cp950", L"csbig5", L"x-x-big5"}},
    {1125, {L"cp1125"}},
    {1133, {L"cp1133", L"ibm-cp1133"}},
    {1200, {L"cp1200", L"ucs-2", L"ucs-2le", L"unicode", L"utf-16", L"utf-16le", L"utf16", L"utf16le"}},
    {1201, {L"cp1201", L"ucs-2be", L"unicodefffe", L"utf-16be", L"utf16be"}},
    {1250, {L"cp1250", L"ms-ee", L"windows-1250", L"x-cp1250"}},
    {1251, {L"cp1251", L"ms-cyrl", L"windows-1251", L"x-cp1251"}},
    {1252, {L"cp1252", L"ms-ansi", L"windows-1252", L"x-ansi"}},
    {1253, {L"cp1253", L"ms-greek", L"windows-1253"}},
    {1254, {L"cp1254", L"ms-turk", L"windows-1254"}},
    {1255, {L"cp1255", L"ms-hebr", L"windows-1255"}},
    {1256, {L"cp1256", L"cp1256 ", L"ms-arab", L"windows-1256"}},
    {1257, {L"cp1257", L"winbaltrim", L"windows-1257"}},
    {1258, {L"cp1258", L"windows-1258"}},
    {1361, {L"cp1361", L"johab"}},
    {10000, {L"csmacintosh", L"mac", L"macintosh"}},
    {10001, {L"x-mac-japanese"}},
    {10002, {L"x-mac-chinesetrad"}},
    {10003, {L"x-mac-korean"}},
    {10004, {L"x-mac-arabic"}},
    {10005, {L"x-mac-hebrew"}},
    {10006, {L"x-mac-greek"}},
    {10007, {L"x-mac-cyrillic"}},
    {10008, {L"x-mac-chinesesimp"}},
    {10010, {L"x-mac-romanian"}},
    {10017, {L"x-mac-ukrainian"}},
    {10021, {L"x-mac-thai"}},
    {10029, {L"x-mac-ce"}},
    {10079, {L"x-mac-icelandic"}},
    {10081, {L"x-mac-turkish"}},
    {10082, {L"x-mac-croatian"}},
    {12000, {L"cp12000", L"utf-32", L"utf-32le", L"utf32", L"utf32le"}},
    {12001, {L"cp12001", L"utf-32be", L"utf32be"}},
    {20000, {L"x-chinese-cns", L"x-chinese_cns"}},
    {20001, {L"x-cp20001"}},
    {20002, {L"x-chinese-eten", L"x_chinese-eten"}},
    {20003, {L"x-cp20003"}},
    {20004, {L"x-cp20004"}},
    {20005, {L"x-cp20005"}},
    {20105, {L"x-ia5"}},
    {20106, {L"x-ia5-german"}},
    {20107, {L"x-ia5-swedish"}},
    {20108, {L"x-ia5-norwegian"}},
    {20127, {L"ansi_x3.4-1968", L"ansi_x3.4-1986", L"ascii", L"cp367", L"csascii", L"ibm367", L"iso-ir-6", L"iso-ir-6us", L"iso646-us", L"iso_646.irv:1991", L"us", L"us-ascii"}},
    {20261, {L"x-cp20261"}},
    {20269, {L"x-cp20269"}},
    {20866, {L"cskoi8r", L"koi", L"koi8", L"koi8-r", L"koi8r"}},
    {20932, {L"cseucpkdfmtjapanese", L"euc-jp", L"extended_unix_code_packed_format_for_japanese"}},
    {20936, {L"x-cp20936"}},
    {20949, {L"x-cp20949"}},
    {21866, {L"koi8-ru", L"koi8-u"}},
    {28591, {L"cp819", L"csisolatin1", L"ibm819", L"iso-8859-1", L"iso-ir-100", L"iso8859-1", L"iso_8859-1", L"iso_8859-1:1987", L"l1", L"latin1"}},
    {28592, {L"csisolatin2", L"iso-8859-2", L"iso-ir-101", L"iso8859-2", L"iso_8859-2", L"iso_8859-2:1987", L"l2", L"latin2"}},
    {28593, {L"csisolatin3", L"iso-8859-3", L"iso-ir-109", L"iso8859-3", L"iso_8859-3", L"iso_8859-3:1988", L"l3", L"latin3"}},
    {28594, {L"csisolatin4", L"iso-8859-4", L"iso-ir-110", L"iso8859-4", L"iso_8859-4", L"iso_8859-4:1988", L"l4", L"latin4"}},
    {28595, {L"csisolatin5", L"csisolatincyrillic", L"cyrillic", L"iso-8859-5", L"iso-ir-144", L"iso8859-5", L"iso_8859-5", L"iso_8859-5:1988"}},
    {28596, {L"arabic", L"csisolatinarabic", L"ecma-114", L"iso-8859-6", L"iso-ir-127", L"iso8859-6", L"iso_8859-6", L"iso_8859-6:1987"}},
    {28597, {L"csisolatingreek", L"ecma-118", L"elot_928", L"greek", L"greek8", L"iso-8859-7", L"iso-ir-126", L"iso8859-7", L"iso_8859-7", L"iso_8859-7:1987"}},
    {28598, {L"csisolatinhebrew", L"hebrew", L"iso-8859-8", L"iso-ir-138", L"iso8859-8", L"iso_8859-8", L"iso_8859-8:1988", L"visual"}},
    {28599, {L"iso-8859-9", L"iso-ir-148", L"iso8859-9", L"iso_8859-9", L"iso_8859-9:1989", L"l5", L"latin5"}},
    {28603, {L"iso-8859-13", L"iso8859-13"}},
    {28605, {L"iso-8859-15", L"iso8859-15", L"iso_8859-15", L"l9", L"latin-9", L"latin9"}},
    {29001, {L"x-europa"}},
    {38598, {L"iso-8859-8-i", L"iso8859-8-i", L"logical"}},
    {50220, {L"iso-2022-jp"}},
    {50221, {L"_iso-2022-jp", L"cp50221", L"csiso2022jp", L"iso-2022-jp-ms", L"iso2022-jp-ms", L"ms50221", L"windows-50221"}},
    {50222, {L"_iso-2022-jp$sio"}},
    {50225, {L"csiso2022kr", L"iso-2022-kr", L"iso2022-kr"}},
    {50227, {L"x-cp50227"}},
    {51932, {L"cp51932", L"ms51932", L"windows-51932", L"x-euc", L"x-euc-jp"}},
    {51936, {L"euc-cn", L"x-euc-cn"}},
    {51949, {L"cseuckr", L"euc-kr"}},
    {52936, {L"hz-gb-2312"}},
    {54936, {L"gb18030", L"iso-4873:1986"}},
    {57002, {L"x-iscii-de"}},
    {57003, {L"x-iscii-be"}},
    {57004, {L"x-iscii-ta"}},
    {57005, {L"x-iscii-te"}},
    {57006, {L"x-iscii-as"}},
    {57007, {L"x-iscii-or"}},
    {57008, {L"x-iscii-ka"}},
    {57009, {L"x-iscii-ma"}},
    {57010, {L"x-iscii-gu"}},
    {57011, {L"x-iscii-pa"}},
    {65000, {L"csunicode11utf7", L"unicode-1-1-utf-7", L"utf-7", L"x-unicode-2-0-utf-7"}},
    {65001, {L"cp65001", L"unicode-1-1-utf-8", L"unicode-2-0-utf-8", L"utf-8", L"utf8", L"x-unicode-2-0-utf-8"}},
};

// glibc's names of the code pages it can convert; null for those it lacks.
const char* IconvCharset(int codePage) {
    switch (codePage) {
    case 154: return "PT154";
    case 437: return "CP437";
    case 500: return "IBM500";
    case 708: return "ASMO-708";
    case 737: return "CP737";
    case 775: return "CP775";
    case 850: return "CP850";
    case 852: return "CP852";
    case 855: return "CP855";
    case 857: return "CP857";
    case 858: return "CP858";
    case 860: return "CP860";
    case 861: return "CP861";
    case 862: return "CP862";
    case 863: return "CP863";
    case 864: return "CP864";
    case 865: return "CP865";
    case 866: return "CP866";
    case 869: return "CP869";
    case 874: return "CP874";
    case 932: return "CP932";
    case 936: return "CP936";
    case 949: return "CP949";
    case 950: return "CP950";
    case 1125: return "CP1125";
    case 1133: return "CP1133";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 1361: return "JOHAB";
    case 10000: return "MACINTOSH";
    case 10007: return "MAC-CYRILLIC";
    case 10017: return "MACUKRAINIAN";
    case 10029: return "MAC-CENTRALEUROPE";
    case 10079: return "MAC-IS";
    case 12000: return "UTF-32LE";
    case 12001: return "UTF-32BE";
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 20932: return "EUC-JP";
    case 20936: return "GB2312";
    case 20949: return "EUC-KR";
    case 21866: return "KOI8-U";
    case 28591: return "ISO-8859-1";
    case 28592: return "ISO-8859-2";
    case 28593: return "ISO-8859-3";
    case 28594: return "ISO-8859-4";
    case 28595: return "ISO-8859-5";
    case 28596: return "ISO-8859-6";
    case 28597: return "ISO-8859-7";
    case 28598: return "ISO-8859-8";
    case 28599: return "ISO-8859-9";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 38598: return "ISO-8859-8";
    case 50220: case 50221: case 50222: return "ISO-2022-JP";
    case 50225: return "ISO-2022-KR";
    case 50227: return "ISO-2022-CN";
    case 51932: return "EUC-JP-MS";
    case 51936: return "EUC-CN";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    case 65000: return "UTF-7";
    case 65001: return "UTF-8";
    default: return nullptr;
    }
}

// Code pages whose conversion cannot report default characters.
bool ReportsLoss(int codePage) {
    switch (codePage) {
    case 50220: case 50221: case 50222: case 50225: case 50227: case 50229: case 52936: case 54936:
    case 65000: case 65001:
        return false;
    default:
        return codePage < 57002 || codePage > 57011;
    }
}

// The code page an encoding name stands for: unknown names and code pages the platform cannot
// convert mean ANSI.
int UsableCodePage(const std::wstring& encoding) {
    int cp = EncodingNameToCodePage(encoding);
    if (cp == kCodePageUtf32 || cp == kCodePageUtf16 || cp == kCodePageUtf16BE || cp == kCodePageUtf8) return cp;
    return (cp > 0 && IconvCharset(cp)) ? cp : kCodePageAnsi;
}

bool EndsWithBE(const std::wstring& name) {
    size_t n = name.size();
    return n >= 2 && (name[n - 2] | 0x20) == L'b' && (name[n - 1] | 0x20) == L'e';
}

inline wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c + 32) : c; }

bool IsScalar(uint32_t c) { return c < 0x110000 && (c < 0xD800 || c > 0xDFFF); }

constexpr wchar_t kReplacement = 0xFFFD;

}  // namespace

EncodingCodePageTable::EncodingCodePageTable() {
    for (const CodePageNames& group : kCodePageNames) {
        for (const wchar_t* name : group.names) {
            size_t length = wcslen(name);
            wchar_t head[8];
            swprintf(head, 8, L"%02zu%05d", length, group.codePage);
            std::wstring& bucket = buckets_[HashTextModulo(name, length, kBuckets)];
            bucket += head;
            bucket += name;
            ++size_;
        }
    }
}

const EncodingCodePageTable& EncodingCodePageTable::Get() {
    static const EncodingCodePageTable table;
    return table;
}

int EncodingCodePageTable::Find(const wchar_t* name, size_t length) const {
    const std::wstring& bucket = buckets_[HashTextModulo(name, length, kBuckets)];
    for (size_t i = 0; i + 7 <= bucket.size();) {
        size_t entryLength = size_t(bucket[i] - L'0') * 10 + size_t(bucket[i + 1] - L'0');
        if (entryLength == length && CompareNames(bucket.data() + i + 7, name, length, false) == 0) {
            int cp = 0;
            for (size_t d = 2; d < 7; ++d) cp = cp * 10 + (bucket[i + d] - L'0');
            return cp;
        }
        i += 7 + entryLength;
    }
    return -1;
}

int EncodingNameToCodePage(const std::wstring& name) {
    if (name.empty()) return kCodePageAnsi;
    if (name.compare(0, 6, L"UTF-32") == 0) return kCodePageUtf32;
    if (name.size() >= 100) return -1;
    std::wstring lower = name;
    for (wchar_t& c : lower) c = LowerAscii(c);
    return EncodingCodePageTable::Get().Find(lower.data(), lower.size());
}

uint32_t HashTagName(const wchar_t* name, size_t length, bool fold) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum += uint32_t(fold ? LowerAscii(name[i]) : name[i]);
    return sum % 23;
}

uint32_t DecodeUtf16(const uint16_t* units, size_t length, size_t& i) {
    uint32_t first = units[i++];
    if (first < 0xD800 || first > 0xDFFF) return first;
    if (first <= 0xDBFF && i < length && units[i] >= 0xDC00 && units[i] <= 0xDFFF)
        return (((first & 0x3FF) << 10) | (units[i++] & 0x3FF)) + 0x10000;
    return kInvalidCode;
}

size_t EncodeUtf16(uint32_t code, uint16_t* out) {
    if (code < 0x10000) {
        if (out) out[0] = uint16_t(code);
        return 1;
    }
    code -= 0x10000;
    if (out) {
        out[0] = uint16_t(0xD800 | ((code >> 10) & 0x3FF));
        out[1] = uint16_t(0xDC00 | (code & 0x3FF));
    }
    return 2;
}

namespace {

// Further bytes a UTF-8 lead byte takes; -1 when it cannot lead.
int FurtherBytes(unsigned char lead) {
    if (lead < 0x80) return 0;
    if (!(lead & 0x20)) return 1;
    if (!(lead & 0x10)) return 2;
    if (!(lead & 0x08)) return 3;
    return -1;
}

}  // namespace

uint32_t DecodeUtf8(const unsigned char* bytes, size_t length, size_t& i) {
    unsigned char lead = bytes[i++];
    int further = FurtherBytes(lead);
    if (further == 0) return lead;
    if (further < 0) return kInvalidCode;
    static const unsigned char kLeadMask[] = {0, 0x1F, 0x0F, 0x07};
    uint32_t code = lead & kLeadMask[further];
    for (int k = 0; k < further; ++k) {
        if (i >= length || bytes[i] < 0x80) return kInvalidCode;
        code = (code << 6) | (bytes[i++] & 0x3F);
    }
    return IsScalar(code) ? code : kInvalidCode;
}

size_t EncodeUtf8(uint32_t code, unsigned char* out) {
    size_t n = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    if (out) {
        if (n == 1) {
            out[0] = (unsigned char)code;
        } else {
            static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
            for (size_t k = n - 1; k > 0; --k) {
                out[k] = (unsigned char)(0x80 | (code & 0x3F));
                code >>= 6;
            }
            out[0] = (unsigned char)(kLead[n] | code);
        }
    }
    return n;
}

Utf8Check CheckUtf8(const unsigned char* bytes, size_t length) {
    Utf8Check check;
    size_t i = 0;
    while (i < length) {
        int further = FurtherBytes(bytes[i]);
        if (further < 0) {
            check.valid = false;
            break;
        }
        if (further == 0) {
            ++i;
            continue;
        }
        size_t k = 1;
        while (k <= size_t(further) && i + k < length && bytes[i + k] >= 0x80) ++k;
        if (k <= size_t(further)) {
            if (i + k == length) check.cut = true;
            else check.valid = false;
            break;
        }
        ++check.multibyte;
        i += k;
    }
    check.completeLength = i;
    return check;
}

namespace {

// Bytes before an unfinished UTF-8 sequence at the end, as the platform's decoder reads leads
// and further bytes; whatever comes before it, invalid bytes included, does not matter.
size_t BeforeUnfinishedUtf8(const unsigned char* bytes, size_t length) {
    for (size_t back = 1; back <= 3 && back <= length; ++back) {
        unsigned char b = bytes[length - back];
        if ((b & 0xC0) == 0x80) continue;  // a further byte: look for its lead
        size_t needed = (b >= 0xC2 && b <= 0xDF) ? 2 : (b >= 0xE0 && b <= 0xEF) ? 3 : (b >= 0xF0 && b <= 0xF4) ? 4 : 0;
        return needed > back ? length - back : length;
    }
    return length;
}

}  // namespace

TextDecoder::TextDecoder(const std::wstring& encoding) : codePage_(UsableCodePage(encoding)) {
    bigEndian_ = codePage_ == kCodePageUtf16BE || (codePage_ == kCodePageUtf32 && EndsWithBE(encoding));
    // UTF-8 goes through the same decoder as ANSI (which is UTF-8 here), so that a file reads
    // the same whether or not its encoding is known from its first chunk.
    if (codePage_ == kCodePageUtf8) return;
    if (const char* charset = IconvCharset(codePage_)) {
        iconv_t cd = iconv_open("WCHAR_T", charset);
        if (cd != iconv_t(-1)) iconv_ = cd;
        else codePage_ = kCodePageAnsi;
    }
}

TextDecoder::~TextDecoder() {
    if (iconv_) iconv_close(iconv_t(iconv_));
}

size_t TextDecoder::Decode(const char* bytes, size_t length, bool last, std::wstring& out) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    if (codePage_ == kCodePageUtf16 || codePage_ == kCodePageUtf16BE) {
        size_t count = length / 2;
        std::basic_string<uint16_t> units(count, 0);
        for (size_t k = 0; k < count; ++k)
            units[k] = bigEndian_ ? uint16_t(b[2 * k] << 8 | b[2 * k + 1]) : uint16_t(b[2 * k + 1] << 8 | b[2 * k]);
        if (!last && count && units[count - 1] >= 0xD800 && units[count - 1] <= 0xDBFF) --count;
        for (size_t k = 0; k < count;) {
            uint32_t c = DecodeUtf16(units.data(), count, k);
            out += c == kInvalidCode ? L'?' : wchar_t(c);
        }
        return last ? length : count * 2;
    }
    if (codePage_ == kCodePageUtf32) {
        size_t count = length / 4;
        for (size_t k = 0; k < count; ++k) {
            const unsigned char* u = b + 4 * k;
            uint32_t c = bigEndian_ ? uint32_t(u[0]) << 24 | u[1] << 16 | u[2] << 8 | u[3]
                                    : uint32_t(u[3]) << 24 | u[2] << 16 | u[1] << 8 | u[0];
            out += IsScalar(c) ? wchar_t(c) : L'?';
        }
        return last ? length : count * 4;
    }
    if (!iconv_) {
        // ANSI and UTF-8 through the platform's conversion.
        size_t take = last ? length : BeforeUnfinishedUtf8(b, length);
        if (out.empty()) out = plat::WideFromNarrow(std::string_view(bytes, take));
        else out += plat::WideFromNarrow(std::string_view(bytes, take));
        return take;
    }
    iconv_t cd = iconv_t(iconv_);
    char* in = const_cast<char*>(bytes);
    size_t inLeft = length;
    out.reserve(out.size() + length);  // about one unit a byte at most
    wchar_t buffer[1024];
    while (inLeft > 0) {
        char* o = reinterpret_cast<char*>(buffer);
        size_t oLeft = sizeof buffer;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buffer, size_t(reinterpret_cast<wchar_t*>(o) - buffer));
        if (r != size_t(-1)) continue;
        if (errno == E2BIG) continue;
        if (errno == EINVAL && !last) break;  // an incomplete character waits for the next chunk
        out += kReplacement;
        ++in;
        --inLeft;
    }
    if (last) {
        char* o = reinterpret_cast<char*>(buffer);
        size_t oLeft = sizeof buffer;
        iconv(cd, nullptr, nullptr, &o, &oLeft);
        out.append(buffer, size_t(reinterpret_cast<wchar_t*>(o) - buffer));
    }
    return length - inLeft;
}

TextEncoder::TextEncoder(const std::wstring& encoding) : codePage_(UsableCodePage(encoding)) {
    bigEndian_ = codePage_ == kCodePageUtf16BE || (codePage_ == kCodePageUtf32 && EndsWithBE(encoding));
    reportsLoss_ = ReportsLoss(codePage_);
    if (const char* charset = IconvCharset(codePage_)) {
        iconv_t cd = iconv_open(charset, "WCHAR_T");
        if (cd == iconv_t(-1)) {
            codePage_ = kCodePageAnsi;
            reportsLoss_ = false;
        } else {
            iconv_ = cd;
            wchar_t q = L'?';
            char* in = reinterpret_cast<char*>(&q);
            size_t inLeft = sizeof q;
            char buffer[16];
            char* o = buffer;
            size_t oLeft = sizeof buffer;
            if (iconv(cd, &in, &inLeft, &o, &oLeft) != size_t(-1)) question_.assign(buffer, size_t(o - buffer));
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
}

TextEncoder::~TextEncoder() {
    if (iconv_) iconv_close(iconv_t(iconv_));
}

size_t TextEncoder::Encode(const wchar_t* text, size_t length, std::string* out) {
    std::string local;
    std::string& bytes = out ? *out : local;
    size_t before = bytes.size();
    if (codePage_ == kCodePageUtf16 || codePage_ == kCodePageUtf16BE) {
        for (size_t k = 0; k < length; ++k) {
            uint32_t c = IsScalar(uint32_t(text[k])) ? uint32_t(text[k]) : '?';
            uint16_t units[2];
            for (size_t u = 0, n = EncodeUtf16(c, units); u < n; ++u) {
                char lo = char(units[u] & 0xFF), hi = char(units[u] >> 8);
                bytes += bigEndian_ ? hi : lo;
                bytes += bigEndian_ ? lo : hi;
            }
        }
    } else if (codePage_ == kCodePageUtf32) {
        for (size_t k = 0; k < length; ++k) {
            uint32_t c = IsScalar(uint32_t(text[k])) ? uint32_t(text[k]) : '?';
            for (int s = 0; s < 4; ++s) bytes += char(c >> (8 * (bigEndian_ ? 3 - s : s)));
        }
    } else if (!iconv_) {
        bytes += plat::NarrowFromWide(std::wstring(text, length));
    } else {
        iconv_t cd = iconv_t(iconv_);
        char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text));
        size_t inLeft = length * sizeof(wchar_t);
        char buffer[4096];
        while (inLeft > 0) {
            char* o = buffer;
            size_t oLeft = sizeof buffer;
            size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
            bytes.append(buffer, size_t(o - buffer));
            if (r == size_t(-1) && errno != E2BIG) {
                // A character the code page lacks.
                bytes += question_;
                if (reportsLoss_) lossy_ = true;
                in += sizeof(wchar_t);
                inLeft -= sizeof(wchar_t);
            } else if (r != size_t(-1) && r > 0 && reportsLoss_) {
                lossy_ = true;  // iconv substituted characters itself
            }
        }
        char* o = buffer;
        size_t oLeft = sizeof buffer;
        iconv(cd, nullptr, nullptr, &o, &oLeft);
        bytes.append(buffer, size_t(o - buffer));
    }
    size_t n = bytes.size() - before;
    if (!out) bytes.resize(before);
    return n;
}

size_t CodePageConverter::ToText(const char* data, size_t length, std::wstring* out) {
    std::wstring text;
    TextDecoder(from_).Decode(data, length, true, text);
    if (out) *out += text;
    return text.size();
}

size_t CodePageConverter::FromText(const wchar_t* data, size_t length, std::string* out) {
    TextEncoder encoder(to_);
    size_t n = encoder.Encode(data, length, out);
    lossy_ = lossy_ || encoder.Lossy();
    return n;
}

size_t CodePageConverter::Convert(const char* data, size_t length, std::string* out) {
    int from = UsableCodePage(from_);
    if (UsableCodePage(to_) == kCodePageUtf32 && from != kCodePageUtf8 && from != kCodePageUtf16 &&
        from != kCodePageUtf16BE && from != kCodePageUtf32)
        return 0;
    std::wstring text;
    ToText(data, length, &text);
    return FromText(text.data(), text.size(), out);
}

std::wstring SniffEncoding(const std::wstring& text) {
    NodeScanner scanner(text.c_str(), 0, 0, nullptr);
    NodeToken token;
    const wchar_t* t = text.c_str();
    auto nameIs = [&](const wchar_t* name) {
        size_t n = wcslen(name);
        return scanner.NameEnd() - scanner.NameStart() == n && CompareNames(t + scanner.NameStart(), name, n, true) == 0;
    };
    // The value of an attribute of the token, empty when it has none.
    auto attribute = [&](const wchar_t* name, size_t end) {
        size_t n = wcslen(name);
        size_t i = scanner.NameEnd();
        for (TagAttribute a; NextAttribute(t, i, end, a);)
            if (a.nameEnd - a.nameStart == n && CompareNames(t + a.nameStart, name, n, true) == 0) return a.Value(t);
        return std::wstring();
    };
    bool html = false;
    for (;;) {
        scanner.ParseNode(token);
        switch (token.kind) {
        case kNodeProcessing:
            if (token.start == 0 && scanner.NameEnd() - scanner.NameStart() == 3 &&
                wmemcmp(t + scanner.NameStart(), L"xml", 3) == 0)
                return attribute(L"encoding", token.start + token.length - 2);
            break;
        case kNodeStartTag: {
            if (!html) {
                if (!nameIs(L"html")) return std::wstring();
                html = true;
                break;
            }
            if (!nameIs(L"meta")) break;
            size_t end = token.start + token.length - 1;
            std::wstring equiv = attribute(L"http-equiv", end);
            if (equiv.size() != 12 || CompareNames(equiv.c_str(), L"Content-Type", 12, true) != 0) break;
            std::wstring content = attribute(L"content", end);
            for (size_t at = 0; at + 7 <= content.size(); ++at) {
                if (CompareNames(content.c_str() + at, L"charset", 7, true) != 0) continue;
                size_t k = at + 7;
                while (k < content.size() && IsMarkupSpace(content[k])) ++k;
                if (k >= content.size() || content[k] != L'=') continue;
                ++k;
                while (k < content.size() && IsMarkupSpace(content[k])) ++k;
                size_t e = k;
                while (e < content.size() && content[e] != L';' && !IsMarkupSpace(content[e])) ++e;
                return content.substr(k, e - k);
            }
            break;
        }
        case kNodeEndTag:
            if (html && nameIs(L"head")) return std::wstring();
            break;
        case kNodeError:
        case kNodeEnd:
            return std::wstring();
        default:
            break;
        }
    }
}

}  // namespace RYL
