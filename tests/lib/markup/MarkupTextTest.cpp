#include "markup/MarkupText.h"

#include "StrictXml.h"
#include "Text.h"
#include "XmlValueShapes.h"
#include "markup/MarkupDocument.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

using namespace RYL;

namespace {

std::wstring Unescape(const std::wstring& text, uint32_t mode = 0) {
    return UnescapeText(text.c_str(), int(text.size()), mode);
}

std::map<std::string, uint32_t> PythonEntities() {
    std::map<std::string, uint32_t> entities;
    FILE* p = popen("/usr/bin/python3 -c 'import html.entities as h\n"
                    "for k, v in h.name2codepoint.items(): print(k, v)'",
                    "r");
    if (!p) return entities;
    char name[32];
    unsigned code;
    while (fscanf(p, "%31s %u", name, &code) == 2) entities[name] = code;
    pclose(p);
    return entities;
}

}  // namespace

TEST(EntityTable, MatchesPythonsHtmlEntities) {
    std::map<std::string, uint32_t> expected = PythonEntities();
    ASSERT_EQ(expected.size(), 252u) << "Debian's /usr/bin/python3 is needed";
    expected["apos"] = 39;
    EXPECT_EQ(EntityTable::Get().Size(), expected.size());
    for (const auto& [name, code] : expected) {
        std::wstring wide(name.begin(), name.end());
        EXPECT_EQ(EntityTable::Get().Find(wide.c_str(), wide.size()), code) << name;
        EXPECT_EQ(Unescape(L"&" + wide + L";"), std::wstring(1, wchar_t(code))) << name;
    }
}

TEST(EntityTable, BucketsByUnitSum) {
    // "sup1" sums to 393, bucket 3; lookups are exact.
    EXPECT_EQ(HashTextModulo(L"sup1", 130), 3u);
    EXPECT_EQ(EntityTable::Get().Find(L"sup1", 4), 185u);
    EXPECT_EQ(EntityTable::Get().Find(L"Sup1", 4), 0u);
    EXPECT_EQ(EntityTable::Get().Find(L"sup", 3), 8835u);
    EXPECT_EQ(EntityTable::Get().Find(L"", 0), 0u);
}

TEST(UnescapeText, References) {
    struct {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"a&lt;b&gt;c&amp;d&quot;&apos;", L"a<b>c&d\"'"},
        {L"&#65;&#x41;&#X41;&#0065;", L"AAAA"},
        {L"&#65x;", L"A"},                       // the value runs as far as digits go
        {L"&#0;&#x;&#;", L"&#0;&#x;&#;"},        // value 0 stays
        {L"&#xD800;&#xDFFF;&#1114112;", L"&#xD800;&#xDFFF;&#1114112;"},
        {L"&#x10FFFF;", L"\U0010FFFF"},
        {L"&nosuch;&abcdefghij;", L"&nosuch;&abcdefghij;"},
        {L"&thetasym;", L"\u03d1"},              // 8 units
        {L"&\u00e9;&lt", L"&\u00e9;&lt"},
        {L"&Dagger;&dagger;&DAGGER;", L"\u2021\u2020\u2020"},
        {L"&dArr;&darr;", L"\u21d3\u2193"},
        {L"&&amp;", L"&&"},
    };
    for (const auto& c : cases) EXPECT_EQ(Unescape(c.in), c.out) << c.out;
    EXPECT_EQ(UnescapeText(L"x&amp;y", -1, 0), L"x&y");
    EXPECT_EQ(UnescapeText(L"&amp;", 3, 0), L"&am");  // the length bounds the name
}

TEST(UnescapeText, WhitespaceModes) {
    EXPECT_EQ(Unescape(L" \t a  b \r\n", 0), L" \t a  b \r\n");
    EXPECT_EQ(Unescape(L" \t a  b \r\n", kModeTrimWhitespace), L"a  b");
    EXPECT_EQ(Unescape(L" \t a  \n b \r\n", kModeCollapseWhitespace), L"a b");
    EXPECT_EQ(Unescape(L"   ", kModeCollapseWhitespace), L"");
    EXPECT_EQ(Unescape(L"a&#32;&#32;b", kModeCollapseWhitespace), L"a b");
}

TEST(EscapeText, Flags) {
    struct {
        const wchar_t* in;
        int flags;
        const wchar_t* out;
    } cases[] = {
        {L"a<b>&\"'", 0, L"a&lt;b&gt;&amp;\"'"},
        {L"a<b>&\"'", kEscapeAttribute, L"a&lt;b&gt;&amp;&quot;&apos;"},
        {L"&amp; &#65; &x-1.y; &\u00e9; &; &1; &a b;", kEscapeKeepReferences,
         L"&amp; &#65; &x-1.y; &\u00e9; &amp;; &amp;1; &amp;a b;"},
        {L"&amp", kEscapeKeepReferences, L"&amp;amp"},
        {L"&#1; &#xFFFE; &#1114112; &#65a; &#X41; &#x; &#x10FFFF;", kEscapeKeepReferences,
         L"\uFFFD \uFFFD \uFFFD &amp;#65a; &amp;#X41; &amp;#x; &#x10FFFF;"},
        {L"a\rb\tc\nd", 0, L"a&#13;b\tc\nd"},
        {L"a\rb\tc\nd", kEscapeAttribute, L"a&#13;b&#9;c&#10;d"},
        {L"", 0, L""},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeText(c.in, c.flags), c.out) << c.out;
    std::wstring big(1000, L'&');
    EXPECT_EQ(EscapeText(big, 0).size(), 5000u);
}

TEST(EncodeCData, SplitsClosingSequences) {
    EXPECT_EQ(EncodeCData(L"x"), L"<![CDATA[x]]>");
    EXPECT_EQ(EncodeCData(L""), L"<![CDATA[]]>");
    EXPECT_EQ(EncodeCData(L"a]]>b]]>"), L"<![CDATA[a]]]]><![CDATA[>b]]]]><![CDATA[>]]>");
    EXPECT_EQ(EncodeCData(L"a\rb"), L"<![CDATA[a]]>&#13;<![CDATA[b]]>");
}

// Each value written as an element's text, an attribute and a CDATA section: expat reads the
// document and gets the value back (U+FFFD for what XML cannot carry), and so does our reader.
TEST(EscapeText, AStrictParserReadsEveryValueBack) {
    for (const XmlValueShape& shape : XmlValueShapes()) {
        SCOPED_TRACE(shape.what);
        const std::wstring text = L"<r a=\"" + EscapeText(shape.value, kEscapeAttribute) + L"\"><t>" +
                                  EscapeText(shape.value, 0) + L"</t><c>" + EncodeCData(shape.value) + L"</c></r>";
        const StrictDocument strict = ParseStrictXml(plat::NarrowFromWide(text));
        ASSERT_EQ(strict.error, "") << plat::NarrowFromWide(text);
        const std::string expected = plat::NarrowFromWide(shape.readBack);
        EXPECT_EQ(strict.Find("r")->attributes.at("a"), expected);
        EXPECT_EQ(strict.Find("t")->text, expected);
        EXPECT_EQ(strict.Find("c")->text, expected);

        MarkupDocument doc;
        ASSERT_TRUE(doc.SetDocument(text));
        ASSERT_TRUE(doc.FindElement(L"r") && doc.StepInto());
        ASSERT_TRUE(doc.FindElement(L"t"));
        EXPECT_EQ(doc.GetText(), shape.readBack);
        ASSERT_TRUE(doc.FindElement(L"c"));
        EXPECT_EQ(doc.GetText(), shape.readBack);
    }
}

TEST(CompareNames, ExactAndFolded) {
    struct {
        const wchar_t* a;
        const wchar_t* b;
        size_t count;
        bool fold;
        int sign;
    } cases[] = {
        {L"abc", L"abc", 3, false, 0},
        {L"abc", L"abd", 3, false, -1},
        {L"abd", L"abc", 3, false, 1},
        {L"abc", L"abd", 2, false, 0},
        {L"ab", L"abc", 5, false, -1},
        {L"ABC", L"abc", 3, false, -1},
        {L"ABC", L"abc", 3, true, 0},
        {L"[", L"{", 1, true, -1},               // only letters fold
        {L"\u00e9A", L"\u00e9a", 2, true, -1},   // exact after two equal units from 0x80 up
        {L"A\u00e9", L"a\u00e9", 2, true, 0},
        {L"\u00c9", L"\u00e9", 1, true, -1},     // no fold beyond ASCII
    };
    for (const auto& c : cases) {
        int r = CompareNames(c.a, c.b, c.count, c.fold);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.count;
    }
    EXPECT_EQ(CompareNames(L"b", L"a", 1, false), 1);
}

TEST(ReplaceText, ReplacesAndGrows) {
    std::wstring s = L"abcdef";
    ReplaceText(s, 1, 2, L"XYZ");
    EXPECT_EQ(s, L"aXYZdef");
    ReplaceText(s, 7, 0, std::wstring(500, L'q'));
    EXPECT_EQ(s.size(), 507u);
    EXPECT_GE(s.capacity(), 507u + 507u / 2 + 128u);
    ReplaceText(s, 0, 507, L"");
    EXPECT_EQ(s, L"");
}

TEST(HashTextModulo, SumsUnits) {
    EXPECT_EQ(HashTextModulo(L"", 130), 0u);
    EXPECT_EQ(HashTextModulo(L"a", 130), 97u);
    EXPECT_EQ(HashTextModulo(std::wstring(L"ab"), 23), (97u + 98u) % 23u);
    EXPECT_EQ(HashTextModulo(L"\U0001F600", 1000), 0x1F600u % 1000u);
}
