#include "markup/MarkupDocument.h"

#include "StrictXml.h"
#include "Text.h"
#include "XmlValueShapes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace RYL;

namespace {

// The records of the whole index in document order, as (start, length, tag lengths, depth).
std::vector<std::vector<uint32_t>> IndexOf(const MarkupDocument& doc) {
    std::vector<std::vector<uint32_t>> out;
    std::vector<uint32_t> pending = {0};
    while (!pending.empty()) {
        uint32_t pos = pending.back();
        pending.pop_back();
        ElementRecord r;
        EXPECT_TRUE(doc.GetRecord(pos, r));
        out.push_back({r.start, r.length, r.startTagLength, r.endTagLength, r.depth});
        std::vector<uint32_t> children;
        for (uint32_t c = r.firstChild; c;) {
            children.push_back(c);
            ElementRecord child;
            doc.GetRecord(c, child);
            c = child.nextSibling;
        }
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    return out;
}

// An edited index must equal the index of a fresh parse of the edited text.
void ExpectIndexMatchesReparse(const MarkupDocument& doc) {
    MarkupDocument fresh;
    fresh.SetDocument(doc.GetDocument());
    EXPECT_EQ(IndexOf(doc), IndexOf(fresh)) << std::string(doc.GetDocument().begin(), doc.GetDocument().end());
}

}  // namespace

TEST(MarkupEdit, AddElemForms) {
    struct {
        const wchar_t* value;
        int flags;
        const wchar_t* text;
    } cases[] = {
        {L"", kAddNoLineBreaks, L"<a/>"},
        {nullptr, kAddNoLineBreaks | kAddSpaceBeforeSlash, L"<a />"},
        {L"", kAddNoLineBreaks | kAddNoEndTag, L"<a>"},
        {L"x<&>\"", kAddNoLineBreaks, L"<a>x&lt;&amp;&gt;\"</a>"},
        {L"&amp;&", kAddNoLineBreaks | kEscapeKeepReferences, L"<a>&amp;&amp;</a>"},
        {L"x]]>y", kAddNoLineBreaks | kAddCData, L"<a><![CDATA[x]]]]><![CDATA[>y]]></a>"},
        {L"", 0, L"<a/>\r\n"},
    };
    for (const auto& c : cases) {
        MarkupDocument doc;
        EXPECT_TRUE(doc.AddElem(L"a", c.value, c.flags));
        EXPECT_EQ(doc.GetDocument(), c.text);
        ExpectIndexMatchesReparse(doc);
    }
    MarkupDocument doc;
    EXPECT_FALSE(doc.AddElem(L"a", L"v", kAddNoEndTag));
    EXPECT_FALSE(doc.AddElem(L"", L"", 0));
    EXPECT_FALSE(doc.AddElem(L"a", L"", kAddChild));  // no current element
    EXPECT_EQ(doc.GetDocument(), L"");
}

TEST(MarkupEdit, AddElemPlacesSiblingsAndChildren) {
    MarkupDocument doc;
    ASSERT_TRUE(doc.AddElem(L"r", L"", 0));
    ASSERT_TRUE(doc.AddElem(L"c", L"1", kAddChild));  // into the empty element
    EXPECT_EQ(doc.GetDocument(), L"<r>\r\n<c>1</c>\r\n</r>\r\n");
    ExpectIndexMatchesReparse(doc);
    ASSERT_TRUE(doc.AddElem(L"d", L"2", kAddChild));  // after the child position
    ASSERT_TRUE(doc.AddElem(L"b", L"0", kAddChild | kAddBefore));  // before it
    EXPECT_EQ(doc.GetDocument(), L"<r>\r\n<c>1</c>\r\n<b>0</b>\r\n<d>2</d>\r\n</r>\r\n");
    ExpectIndexMatchesReparse(doc);

    // Siblings in the parent: after the current element, or before it.
    ASSERT_TRUE(doc.StepInto());
    EXPECT_EQ(doc.GetText(), L"0");
    ASSERT_TRUE(doc.FindElement(L"d"));
    ASSERT_TRUE(doc.AddElem(L"c2", L"", kAddNoLineBreaks));
    ASSERT_TRUE(doc.AddElem(L"c1", L"", kAddNoLineBreaks | kAddBefore));
    EXPECT_EQ(doc.GetDocument(), L"<r>\r\n<c>1</c>\r\n<b>0</b>\r\n<d>2</d><c1/><c2/>\r\n</r>\r\n");
    ExpectIndexMatchesReparse(doc);
    ASSERT_TRUE(doc.FindElement(L"c2"));
    EXPECT_FALSE(doc.FindElement(L""));
    ASSERT_TRUE(doc.StepOut());
    ASSERT_TRUE(doc.AddElem(L"s", L"", kAddNoLineBreaks | kAddBefore));
    EXPECT_EQ(doc.GetDocument().substr(0, 7), L"<s/><r>");
    ExpectIndexMatchesReparse(doc);
    ASSERT_TRUE(doc.AddElem(L"t", L"", 0));
    EXPECT_EQ(doc.GetDocument().substr(0, 12), L"<s/>\r\n<t/>\r\n");
}

TEST(MarkupEdit, AddElemIntoAParsedDocument) {
    MarkupDocument doc(L"<r>\r\n  <a>1</a>\r\n  <b/>\r\n</r>");
    ASSERT_TRUE(doc.FindElement(L"r"));
    ASSERT_TRUE(doc.StepInto());
    ASSERT_TRUE(doc.FindElement(L"a"));
    ASSERT_TRUE(doc.AddElem(L"n", L"x", 0));
    EXPECT_EQ(doc.GetDocument(), L"<r>\r\n  <a>1</a>\r\n<n>x</n>\r\n  <b/>\r\n</r>");
    ExpectIndexMatchesReparse(doc);
    ASSERT_TRUE(doc.FindElement(L"b"));
    ASSERT_TRUE(doc.AddElem(L"c", L"", kAddChild | kAddNoLineBreaks));
    EXPECT_EQ(doc.GetDocument(), L"<r>\r\n  <a>1</a>\r\n<n>x</n>\r\n  <b><c/></b>\r\n</r>");
    ExpectIndexMatchesReparse(doc);
}

TEST(MarkupEdit, SetAttrib) {
    struct {
        const wchar_t* text;
        const wchar_t* name;
        const wchar_t* value;
        const wchar_t* after;
    } cases[] = {
        {L"<a/>", L"x", L"1", L"<a x=\"1\"/>"},
        {L"<a />", L"x", L"1", L"<a x=\"1\" />"},
        {L"<a>t</a>", L"x", L"<\"&'>", L"<a x=\"&lt;&quot;&amp;&apos;&gt;\">t</a>"},
        {L"<a y='2' x='1'><b/></a>", L"x", L"long value", L"<a y='2' x=\"long value\"><b/></a>"},
        {L"<a x=\"long value\" y=3><b/></a>", L"x", L"", L"<a x=\"\" y=3><b/></a>"},
        {L"<a y=3 x=c/>", L"x", L"v", L"<a y=3 x=\"v\">"},
        {L"<a b x>t</a>", L"x", L"v", L"<a b x=\"v\">t</a>"},
        {L"<a xx=\"1\">t</a>", L"x", L"v", L"<a xx=\"1\" x=\"v\">t</a>"},
    };
    for (const auto& c : cases) {
        MarkupDocument doc(c.text);
        ASSERT_TRUE(doc.FindElement(L"a"));
        EXPECT_TRUE(doc.SetAttrib(doc.GetCurrentPosition(), c.name, c.value, 0));
        EXPECT_EQ(doc.GetDocument().substr(0, wcslen(c.after)), c.after);
        ExpectIndexMatchesReparse(doc);
    }
    MarkupDocument doc(L"<a/>");
    EXPECT_FALSE(doc.SetAttrib(1, L"x", L"1", 0));  // no current element
    ASSERT_TRUE(doc.FindElement(L"a"));
    EXPECT_FALSE(doc.SetAttrib(0, L"x", L"1", 0));
    EXPECT_TRUE(doc.SetAttrib(1, L"n", -42, 0));
    EXPECT_EQ(doc.GetDocument(), L"<a n=\"-42\"/>");
}

// What the editing operations write parses with expat and gives the values back (U+FFFD for what
// XML cannot carry): element texts, CDATA sections and attributes.
TEST(MarkupEdit, AStrictParserReadsEveryValueBack) {
    for (const XmlValueShape& shape : XmlValueShapes()) {
        if (shape.value.find(L'\0') != std::wstring::npos)
            continue;  // the operations take NUL-terminated values
        SCOPED_TRACE(shape.what);
        MarkupDocument doc;
        ASSERT_TRUE(doc.AddElem(L"r", L"", 0));
        ASSERT_TRUE(doc.SetAttrib(doc.GetCurrentPosition(), L"a", shape.value.c_str(), 0));
        ASSERT_TRUE(doc.AddElem(L"t", shape.value.c_str(), kAddChild));
        ASSERT_TRUE(doc.AddElem(L"c", shape.value.c_str(), kAddChild | kAddCData));
        const StrictDocument strict = ParseStrictXml(plat::NarrowFromWide(doc.GetDocument()));
        ASSERT_EQ(strict.error, "") << plat::NarrowFromWide(doc.GetDocument());
        const std::string expected = plat::NarrowFromWide(shape.readBack);
        EXPECT_EQ(strict.Find("r")->attributes.at("a"), expected);
        EXPECT_EQ(strict.Find("t")->text, expected);
        EXPECT_EQ(strict.Find("c")->text, expected);
    }
}

TEST(AddResult, AttributesByFlag) {
    struct {
        int flags;
        const wchar_t* text;
        int number, number2;
        const wchar_t* result;
    } cases[] = {
        {0, nullptr, -1, -1, L"<e/>"},
        {0, L"t", 5, -1, L"<e tagname=\"t\" offset=\"5\"/>"},
        {kResultType, L"t", 5, 9, L"<e type=\"t\" offset=\"5\" offset2=\"9\"/>"},
        {kResultEncoding | kResultLength, L"UTF-8", 12, -1, L"<e encoding=\"UTF-8\" length=\"12\"/>"},
        {kResultMsg | kResultN, L"m<", -1, -1, L"<e msg=\"m&lt;\" n=\"-1\"/>"},
        {kResultCount, nullptr, 3, -1, L"<e count=\"3\"/>"},
    };
    for (const auto& c : cases) {
        std::wstring result = L"<x/>";
        AddResult(result, L"e", c.text, c.flags, c.number, c.number2);
        EXPECT_EQ(result, std::wstring(L"<x/>") + c.result);
    }
    std::wstring result = L"<e/><f/>";
    AddResult(result, L"f", L"UTF-8", kResultFind | kResultEncoding, 4);
    EXPECT_EQ(result, L"<e/><f encoding=\"UTF-8\" offset=\"4\"/>");
    std::wstring full(1000, L' ');
    AddResult(full, L"e");
    EXPECT_EQ(full.size(), 1000u);
}
