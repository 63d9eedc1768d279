#include "markup/MarkupEncoding.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "markup/MarkupDocument.h"

using namespace RYL;

namespace {

// iconv itself, as the reference for the codecs.
std::string IconvFrom(const std::wstring& text, const char* charset) {
    iconv_t cd = iconv_open(charset, "WCHAR_T");
    EXPECT_NE(cd, iconv_t(-1)) << charset;
    std::string out(text.size() * 8 + 16, '\0');
    char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text.data()));
    size_t inLeft = text.size() * sizeof(wchar_t);
    char* o = out.data();
    size_t oLeft = out.size();
    EXPECT_NE(iconv(cd, &in, &inLeft, &o, &oLeft), size_t(-1)) << charset;
    iconv_close(cd);
    out.resize(out.size() - oLeft);
    return out;
}

std::wstring RandomText(unsigned seed, size_t n) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> plane(0, 9);
    std::uniform_int_distribution<uint32_t> bmp(1, 0xFFFD), supplementary(0x10000, 0x10FFFF), ascii(1, 0x7F);
    std::wstring text = {0x7F, 0x80, 0x7FF, 0x800, 0xFFFD, 0x10000, 0x10FFFF};
    while (text.size() < n) {
        int p = plane(random);
        uint32_t c = p < 4 ? ascii(random) : p < 8 ? bmp(random) : supplementary(random);
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        text += wchar_t(c);
    }
    return text;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += char(v);
    return s;
}

}  // namespace

TEST(EncodingNameToCodePage, Table) {
    EXPECT_EQ(EncodingCodePageTable::Get().Size(), 365u);
    struct {
        std::wstring name;
        int codePage;
    } cases[] = {
        {L"", 0},
        {L"UTF-32", 65005},
        {L"UTF-32BE", 65005},
        {L"UTF-32" + std::wstring(100, L'x'), 65005},  // the prefix rule comes before the length
        {L"utf-32", 12000},
        {L"Utf-32", 12000},
        {L"utf-32be", 12001},
        {L"UTF-3", -1},
        {L"utf-8", 65001},
        {L"UTF-8", 65001},
        {L"Shift_JIS", 932},
        {L"shifft_jis-ms", 932},
        {L"l1", 28591},
        {L"us", 20127},
        {L"extended_unix_code_packed_format_for_japanese", 20932},
        {L"cp1256 ", 1256},
        {L"cp1256  ", -1},
        {L"cp500", 500},
        {L"csibm500", 500},
        {L"EBCDIC-CP-BE", 500},
        {L"ebcdic-cp-ch", 500},
        {L"cp775", 775},
        {L"cspc775baltic", 775},
        {L"x-iscii-de", 57002},
        {L"x-iscii-pa", 57011},
        {L"_iso-2022-jp$sio", 50222},
        {L"iso_646.irv:1991", 20127},
        {L"pc-multilingual-850+euro", 858},
        {L"ucs-2", 1200},
        {L"unicodefffe", 1201},
        {L"x-mac-ce", 10029},
        {L"gb18030", 54936},
        {L"nosuch", -1},
        {L"utf", -1},
        {std::wstring(99, L'a'), -1},
        {std::wstring(100, L'a'), -1},
        {L"\u00e9", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(EncodingNameToCodePage(c.name), c.codePage) << c.name.size();
}

TEST(Utf8Codec, MatchesIconv) {
    std::wstring text = RandomText(1, 3000);
    std::string reference = IconvFrom(text, "UTF-8");
    std::string ours;
    for (wchar_t c : text) {
        unsigned char buffer[4];
        size_t n = EncodeUtf8(uint32_t(c), buffer);
        EXPECT_EQ(EncodeUtf8(uint32_t(c), nullptr), n);
        ours.append(reinterpret_cast<char*>(buffer), n);
    }
    EXPECT_EQ(ours, reference);
    std::wstring decoded;
    const auto* b = reinterpret_cast<const unsigned char*>(reference.data());
    for (size_t i = 0; i < reference.size();) decoded += wchar_t(DecodeUtf8(b, reference.size(), i));
    EXPECT_EQ(decoded, text);
    Utf8Check check = CheckUtf8(b, reference.size());
    EXPECT_TRUE(check.valid);
    EXPECT_FALSE(check.cut);
    EXPECT_EQ(check.multibyte, size_t(std::count_if(text.begin(), text.end(), [](wchar_t c) { return c >= 0x80; })));
}

TEST(Utf8Codec, InvalidAndCutSequences) {
    struct {
        std::string bytes;
        std::vector<uint32_t> codes;
    } cases[] = {
        {Bytes({0xC3, 0xA9, 0x41}), {0xE9, 0x41}},
        {Bytes({0xF0, 0x9F, 0x98, 0x80}), {0x1F600}},
        {Bytes({0xF8, 0x41}), {kInvalidCode, 0x41}},
        {Bytes({0xC3, 0x41}), {kInvalidCode, 0x41}},
        {Bytes({0xE2, 0x82}), {kInvalidCode}},
        {Bytes({0xED, 0xA0, 0x80}), {kInvalidCode}},  // a surrogate is no character
    };
    for (const auto& c : cases) {
        std::vector<uint32_t> codes;
        const auto* b = reinterpret_cast<const unsigned char*>(c.bytes.data());
        for (size_t i = 0; i < c.bytes.size();) codes.push_back(DecodeUtf8(b, c.bytes.size(), i));
        EXPECT_EQ(codes, c.codes);
    }
    struct {
        std::string bytes;
        size_t multibyte;
        bool valid, cut;
        size_t complete;
    } checks[] = {
        {"plain", 0, true, false, 5},
        {Bytes({'a', 0xC3, 0xA9, 'b'}), 1, true, false, 4},
        {Bytes({'a', 0xC3, 0xA9, 0xE2, 0x82}), 1, true, true, 3},
        {Bytes({'c', 'a', 'f', 0xE9, ' '}), 0, false, false, 3},  // Latin-1
        {Bytes({0xF8}), 0, false, false, 0},
    };
    for (const auto& c : checks) {
        Utf8Check check = CheckUtf8(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
        EXPECT_EQ(check.multibyte, c.multibyte) << c.bytes;
        EXPECT_EQ(check.valid, c.valid) << c.bytes;
        EXPECT_EQ(check.cut, c.cut) << c.bytes;
        EXPECT_EQ(check.completeLength, c.complete) << c.bytes;
    }
}

TEST(Utf16Codec, MatchesIconv) {
    std::wstring text = RandomText(2, 3000);
    std::string reference = IconvFrom(text, "UTF-16LE");
    std::basic_string<uint16_t> units;
    for (wchar_t c : text) {
        uint16_t buffer[2];
        size_t n = EncodeUtf16(uint32_t(c), buffer);
        EXPECT_EQ(EncodeUtf16(uint32_t(c), nullptr), n);
        units.append(buffer, n);
    }
    ASSERT_EQ(units.size() * 2, reference.size());
    EXPECT_EQ(std::memcmp(units.data(), reference.data(), reference.size()), 0);
    std::wstring decoded;
    for (size_t i = 0; i < units.size();) decoded += wchar_t(DecodeUtf16(units.data(), units.size(), i));
    EXPECT_EQ(decoded, text);
    // Both byte orders through the decoder and encoder of the files.
    for (const char* charset : {"UTF-16LE", "UTF-16BE"}) {
        std::string bytes = IconvFrom(text, charset);
        std::wstring name = charset[6] == 'B' ? L"UTF-16BE" : L"UTF-16";
        std::wstring out;
        EXPECT_EQ(TextDecoder(name).Decode(bytes.data(), bytes.size(), true, out), bytes.size());
        EXPECT_EQ(out, text);
        std::string encoded;
        TextEncoder(name).Encode(text.data(), text.size(), &encoded);
        EXPECT_EQ(encoded, bytes);
    }
}

TEST(Utf16Codec, OnlyAHighThenALowSurrogateCombine) {
    struct {
        std::vector<uint16_t> units;
        std::vector<uint32_t> codes;
    } cases[] = {
        {{0xD83D, 0xDE00}, {0x1F600}},
        {{0xD800, 0x0041}, {kInvalidCode, 0x41}},
        {{0xDC00, 0xD800}, {kInvalidCode, kInvalidCode}},
        {{0xDE00, 0xD83D, 0xDE00}, {kInvalidCode, 0x1F600}},
        {{0xD800, 0xD800, 0xDC00}, {kInvalidCode, 0x10000}},
        {{0x0041, 0xD800}, {0x41, kInvalidCode}},
    };
    for (const auto& c : cases) {
        std::vector<uint32_t> codes;
        for (size_t i = 0; i < c.units.size();) codes.push_back(DecodeUtf16(c.units.data(), c.units.size(), i));
        EXPECT_EQ(codes, c.codes);
    }
}

TEST(Utf32Codec, MatchesIconv) {
    std::wstring text = RandomText(3, 500);
    for (const char* charset : {"UTF-32LE", "UTF-32BE"}) {
        std::string bytes = IconvFrom(text, charset);
        std::wstring name = charset[6] == 'B' ? L"UTF-32BE" : L"UTF-32";
        std::string encoded;
        TextEncoder(name).Encode(text.data(), text.size(), &encoded);
        EXPECT_EQ(encoded, bytes) << charset;
        std::wstring decoded;
        TextDecoder(name).Decode(bytes.data(), bytes.size(), true, decoded);
        EXPECT_EQ(decoded, text) << charset;
    }
}

TEST(TextDecoder, ChunksGiveTheWholeText) {
    // Each chunk leaves an incomplete character for the next.
    const std::wstring text = L"<a>\u65e5\u672c\u8a9e \u30ab\u30bf\u30ab\u30ca abc \u00e9\u20ac\U0001F600</a>";
    struct {
        const wchar_t* encoding;
        const char* charset;
        bool supplementary;
    } cases[] = {
        {L"UTF-8", "UTF-8", true},     {L"", "UTF-8", true},          {L"UTF-16", "UTF-16LE", true},
        {L"UTF-16BE", "UTF-16BE", true}, {L"gb18030", "GB18030", true}, {L"euc-jp", "EUC-JP", false},
        {L"shift_jis", "CP932", false}, {L"iso-2022-jp", "ISO-2022-JP", false},
    };
    for (const auto& c : cases) {
        std::wstring expected = text;
        if (!c.supplementary) expected = L"<a>\u65e5\u672c\u8a9e \u30ab\u30bf\u30ab\u30ca abc</a>";
        std::string bytes = IconvFrom(expected, c.charset);
        for (size_t chunk : {size_t(1), size_t(2), size_t(3), size_t(5), size_t(7)}) {
            TextDecoder decoder(c.encoding);
            std::wstring out;
            size_t at = 0;
            std::string pending;
            while (at < bytes.size()) {
                size_t take = std::min(chunk, bytes.size() - at);
                pending.append(bytes, at, take);
                at += take;
                size_t used = decoder.Decode(pending.data(), pending.size(), at == bytes.size(), out);
                pending.erase(0, used);
            }
            EXPECT_EQ(out, expected) << c.charset << " chunk " << chunk;
        }
    }
}

TEST(CodePageConverter, ByteCodePagesAndLoss) {
    const std::wstring text = L"caf\u00e9 \u20ac \u65e5";
    {
        CodePageConverter c(L"UTF-16", L"windows-1252");
        std::string out;
        EXPECT_EQ(c.FromText(text.data(), text.size(), &out), 8u);
        EXPECT_EQ(out, Bytes({'c', 'a', 'f', 0xE9, ' ', 0x80, ' ', '?'}));
        EXPECT_TRUE(c.Lossy());
        EXPECT_EQ(c.FromText(text.data(), text.size(), nullptr), 8u);  // counting only
    }
    for (const wchar_t* target : {L"UTF-8", L"gb18030", L"UTF-16BE"}) {
        CodePageConverter c(L"UTF-16", target);
        std::string out;
        c.FromText(text.data(), text.size(), &out);
        EXPECT_FALSE(c.Lossy()) << target;
    }
    {
        CodePageConverter c(L"UTF-16", L"iso-2022-jp");  // no loss report for this one
        std::string out;
        c.FromText(L"\u00e9", 1, &out);
        EXPECT_FALSE(c.Lossy());
    }
    {
        CodePageConverter c(L"shift_jis", L"UTF-16");
        std::wstring out;
        EXPECT_EQ(c.ToText("\x93\xFA\x96\x7B", 4, &out), 2u);
        EXPECT_EQ(out, L"\u65e5\u672c");
        EXPECT_EQ(c.ToText("\x93\xFA\x96\x7B", 4, nullptr), 2u);
    }
    {
        // Code page 500 is EBCDIC: 0xC1 is 'A' (in code page 775 it is a box-drawing character).
        CodePageConverter c(L"cp500", L"UTF-16");
        std::wstring out;
        c.ToText("\xC1\xC2\x40", 3, &out);
        EXPECT_EQ(out, L"AB ");
    }
    {
        CodePageConverter c(L"windows-1252", L"utf-8");
        std::string out;
        EXPECT_EQ(c.Convert("\xE9\x80", 2, &out), 5u);
        EXPECT_EQ(out, "\xC3\xA9\xE2\x82\xAC");
    }
    {
        std::string out;
        EXPECT_EQ(CodePageConverter(L"windows-1252", L"UTF-32").Convert("\xE9", 1, &out), 0u);
        EXPECT_EQ(out, "");
        EXPECT_EQ(CodePageConverter(L"UTF-8", L"UTF-32").Convert("\xC3\xA9", 2, &out), 4u);
        EXPECT_EQ(out, std::string("\xE9\0\0\0", 4));
    }
    {
        // An unknown name stands for ANSI, which is UTF-8 here.
        std::wstring out;
        CodePageConverter(L"no-such-encoding", L"UTF-16").ToText("\xC3\xA9", 2, &out);
        EXPECT_EQ(out, L"\u00e9");
    }
}

TEST(HashTagName, SumsModulo23) {
    EXPECT_EQ(HashTagName(L"a", 1, false), 97u % 23u);
    EXPECT_EQ(HashTagName(L"Ab", 2, false), (65u + 98u) % 23u);
    EXPECT_EQ(HashTagName(L"Ab", 2, true), (97u + 98u) % 23u);
    EXPECT_EQ(HashTagName(L"\u00c9", 1, true), 0xC9u % 23u);
    EXPECT_EQ(HashTagName(L"", 0, true), 0u);
}

TEST(MarkupDocument, FoldedTagNames) {
    MarkupDocument exact;
    EXPECT_FALSE(exact.SetDocument(L"<Root><Item>x</ITEM></root>"));
    EXPECT_FALSE(exact.FindElement(L"root"));

    MarkupDocument folded;
    folded.SetModeWord(kModeFoldNames);
    EXPECT_EQ(folded.GetMode(), kModeFoldNames);
    EXPECT_TRUE(folded.SetDocument(L"<Root><Item>x</ITEM></root>"));
    ASSERT_TRUE(folded.FindElement(L"ROOT"));
    ASSERT_TRUE(folded.StepInto());
    ASSERT_TRUE(folded.FindElement(L"item"));
    EXPECT_EQ(folded.GetText(), L"x");
    // Exact again after two equal units from 0x80 up.
    EXPECT_FALSE(folded.SetDocument(L"<\u00e9\u00e9A>x</\u00e9\u00e9a>"));
    EXPECT_TRUE(folded.SetDocument(L"<A\u00e9\u00e9>x</a\u00e9\u00e9>"));
    // An end tag that matches below the innermost few open elements.
    const wchar_t* deep = L"<R><X><a><b><c><d><e></x></r>";
    EXPECT_FALSE(folded.SetDocument(deep));
    EXPECT_EQ(folded.GetResult().find(L"lone_end_tag"), std::wstring::npos);
    EXPECT_FALSE(exact.SetDocument(deep));
    EXPECT_EQ(exact.GetResult().find(L"<lone_end_tag tagname=\"x\""), 0u);
}

TEST(MarkupDocument, WhitespaceModesApplyToText) {
    MarkupDocument doc;
    doc.SetModeWord(kModeCollapseWhitespace);
    ASSERT_TRUE(doc.SetDocument(L"<a>\r\n  one \t two\r\n</a>"));
    ASSERT_TRUE(doc.FindElement(L"a"));
    EXPECT_EQ(doc.GetText(), L"one two");
    doc.SetModeWord(kModeTrimWhitespace);
    EXPECT_EQ(doc.GetText(), L"one \t two");
}

TEST(SniffEncoding, DeclarationMetaOrNone) {
    struct {
        const wchar_t* text;
        const wchar_t* encoding;
    } cases[] = {
        {L"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r/>", L"ISO-8859-1"},
        {L"<?xml version='1.0' encoding='utf-8' ?>\r\n<r/>", L"utf-8"},
        {L"<?xml version=\"1.0\"?><r/>", L""},
        {L" <?xml version=\"1.0\" encoding=\"x\"?><r/>", L""},  // not at the very start
        {L"<!DOCTYPE html><html><head><meta charset=\"x\"><meta http-equiv=\"Content-Type\" "
         L"content=\"text/html; charset=windows-1251\"></head></html>",
         L"windows-1251"},
        {L"<!-- c --><HTML><HEAD><META HTTP-EQUIV=\"content-type\" CONTENT=\"text/html;charset = koi8-r\">", L"koi8-r"},
        {L"<html><head><title>t</title></head><body><meta http-equiv=\"Content-Type\" "
         L"content=\"text/html; charset=x\"></body></html>",
         L""},
        {L"<r><meta http-equiv=\"Content-Type\" content=\"text/html; charset=x\"></r>", L""},
        {L"<html><1><meta http-equiv=\"Content-Type\" content=\"text/html; charset=x\">", L""},
        {L"plain text", L""},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(SniffEncoding(c.text), c.encoding) << std::wstring(c.text).size();
}
