#include "markup/MarkupDocument.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "markup/ElementPath.h"

using namespace RYL;

namespace {

// One step of a walk: 'f' FindElement(arg), 'i' StepInto, 'o' StepOut (each expecting ok),
// 't' GetText expecting text.
struct Step {
    char op;
    const wchar_t* arg;
    bool ok;
    const wchar_t* text;
};

Step Find(const wchar_t* name, bool ok = true) { return {'f', name, ok, nullptr}; }
Step Into(bool ok = true) { return {'i', nullptr, ok, nullptr}; }
Step Out(bool ok = true) { return {'o', nullptr, ok, nullptr}; }
Step Text(const wchar_t* text) { return {'t', nullptr, true, text}; }

struct DocumentCase {
    const char* label;
    std::wstring text;
    bool wellFormed;
    std::wstring result;
    std::vector<Step> walk;
};

std::wstring Repeat(const std::wstring& s, int n) {
    std::wstring out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

const std::vector<DocumentCase>& Cases() {
    static const std::vector<DocumentCase> cases = {
        {"siblings and stepping", L"<a><b>x</b><b>y</b></a>", true, L"",
         {Into(false), Find(L"a"), Into(), Find(L"b"), Text(L"x"), Find(L"b"), Text(L"y"), Find(L"b", false),
          Text(L"y"), Out(), Text(L""), Out(false), Into(), Text(L"y")}},
        {"text around a child is not returned", L"<a>x<b/>y</a>", true, L"", {Find(L"a"), Text(L"")}},
        {"text is not trimmed", L"<a> 1 &lt; 2 </a>", true, L"", {Find(L"a"), Text(L" 1 < 2 ")}},
        {"cdata kept, whitespace and comments dropped", L"<a><![CDATA[<x>]]> <!--c--> y&amp;</a>", true, L"",
         {Find(L"a"), Text(L"<x> y&")}},
        {"processing instruction and stray markup in content", L"<a>p<?pi x?>q</a>", true, L"",
         {Find(L"a"), Text(L"pq")}},
        {"character references", L"<a>&#65;&#x41;&#X41;&#66x;</a>", true, L"", {Find(L"a"), Text(L"AAAB")}},
        {"references that stay as written", L"<a>&#0;&bogus;&abcdefghij;&;&#xD800;&#x110000;&\u00e9;</a>", true, L"",
         {Find(L"a"), Text(L"&#0;&bogus;&abcdefghij;&;&#xD800;&#x110000;&\u00e9;")}},
        {"entity names keep their case", L"<a>&eacute;&Eacute;&EACUTE;&AMP;&sigma;&Sigma;&apos;</a>", true, L"",
         {Find(L"a"), Text(L"\u00e9\u00c9\u00e9&\u03c3\u03a3'")}},
        {"a reference above the basic plane is one unit", L"<a>&#x1F600;&#128512;</a>", true, L"",
         {Find(L"a"), Text(L"\U0001F600\U0001F600")}},
        {"empty name takes any element; paths", L"<r><x/><a>1</a><a>2</a></r>", true, L"",
         {Find(L"r"), Into(), Find(L"/a", false), Find(L"//a", false), Find(L"a/", false), Find(L"a b", false),
          Find(L"a[2]"), Text(L"1"), Find(L"a/b"), Text(L"2"), Find(L"", false), Out(), Into(), Find(nullptr, false)}},
        {"empty name from the start", L"<r><x>1</x><a>2</a></r>", true, L"",
         {Find(L"r"), Into(), Find(L""), Text(L"1"), Find(L""), Text(L"2")}},
        {"names compare exactly", L"<r><A/><ab/><a>t</a></r>", true, L"",
         {Find(L"r"), Into(), Find(L"a"), Text(L"t")}},
        {"tag name ends at markup units", L"<r><a\tb='1'>t</a><c/></r>", true, L"",
         {Find(L"r"), Into(), Find(L"a"), Text(L"t"), Find(L"c")}},
        {"alone unended", L"<a>", false, L"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"3\"/>",
         {Find(L"a"), Text(L""), Into(), Find(L"", false)}},
        {"two roots", L"<a/><b/>", false, L"<root_has_sibling/>", {Find(L"b"), Out(false)}},
        {"lone end tag", L"<a></b></a>", false, L"<lone_end_tag tagname=\"b\" offset=\"3\"/>",
         {Find(L"a"), Text(L""), Into(), Find(L"", false)}},
        {"end tags match case exactly", L"<a>x</A>", false,
         L"<lone_end_tag tagname=\"A\" offset=\"4\"/><unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"8\"/>",
         {Find(L"a"), Text(L"")}},
        {"unterminated comment", L"<a>x<!-- y", false,
         L"<unterminated_tag_syntax type=\"comment\" offset=\"4\"/>"
         L"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"10\"/>",
         {Find(L"a"), Text(L"")}},
        {"unended element gives its children to its parent", L"<a><b><c>x</c><d/></a>", false,
         L"<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"19\"/>",
         {Find(L"a"), Into(), Find(L"b"), Text(L""), Into(), Find(L"", false), Out(), Find(L"c"), Text(L"x"),
          Find(L"d"), Find(L"", false), Out(), Text(L"")}},
        {"chain of unended elements, innermost first", L"<r><a><b><c/></r><s/>", false,
         L"<unended_start_tag tagname=\"b\" offset=\"6\" offset2=\"14\"/>"
         L"<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"14\"/><root_has_sibling/>",
         {Find(L"r"), Into(), Find(L"a"), Find(L"b"), Find(L"c"), Find(L"", false), Out(), Find(L"s")}},
        {"unended at the end of the text: all become top-level", L"<r><a>x<b>y</b>", false,
         L"<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"15\"/>"
         L"<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"15\"/><root_has_sibling/>",
         {Find(L"r"), Text(L""), Find(L"a"), Text(L""), Find(L"b"), Text(L"y"), Find(L"", false)}},
        {"empty document", L"", false, L"", {Find(L"", false), Into(false), Out(false), Text(L"")}},
        {"no root element", L" text ", false, L"<no_root_element/>", {Find(L"", false)}},
        {"first tag syntax", L"<r><1>x</r>", false, L"<first_tag_syntax offset=\"3\"/>", {Find(L"r"), Text(L"x")}},
        {"exclamation tag syntax", L"<r><!x></r>", false, L"<exclamation_tag_syntax offset=\"3\"/>", {Find(L"r")}},
        {"comment tag syntax", L"<r><!-x></r>", false, L"<comment_tag_syntax offset=\"3\"/>", {Find(L"r")}},
        {"cdata section syntax", L"<r><![x></r>", false, L"<cdata_section_syntax offset=\"3\"/>", {Find(L"r")}},
        {"doctype tag syntax", L"<!DOCTYPE r [<!x>]><r/>", false,
         L"<doctype_tag_syntax offset=\"0\"/>", {Find(L"r")}},
        {"error recovery stops before '<'", L"<r><<a>t</a></r>", false, L"<first_tag_syntax offset=\"3\"/>",
         {Find(L"r"), Into(), Find(L"a"), Text(L"t")}},
        {"document type declaration", L"<!DOCTYPE r [<!ELEMENT r (#PCDATA)> <!-- > --> <!ATTLIST r b CDATA \"x>y\">]><r>t</r>",
         true, L"", {Find(L"r"), Text(L"t")}},
        {"declaration and comments around the root", L"<?xml version=\"1.0\"?>\r\n<!-- c --><r>t</r>\r\n", true, L"",
         {Find(L"r"), Text(L"t")}},
        {"unterminated start tag", L"<r><a b=\"x>", false,
         L"<unterminated_tag_syntax type=\"start_tag\" offset=\"3\"/>"
         L"<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"11\"/>",
         {Find(L"r")}},
        {"unterminated end tag", L"<r>x</r", false,
         L"<unterminated_tag_syntax type=\"end_tag\" offset=\"4\"/>"
         L"<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"7\"/>",
         {Find(L"r")}},
        {"unterminated processing instruction", L"<r/><?x", false,
         L"<unterminated_tag_syntax type=\"processing_instruction\" offset=\"4\"/>", {Find(L"r")}},
        {"unterminated cdata", L"<r/><![CDATA[x]]", false,
         L"<unterminated_tag_syntax type=\"cdata_section\" offset=\"4\"/>", {Find(L"r")}},
        {"unterminated doctype", L"<r/><!DOCTYPE r [<!-- ]>", false,
         L"<unterminated_tag_syntax type=\"document_type\" offset=\"4\"/>", {Find(L"r")}},
        {"lone '<' at the end", L"<r/><", false, L"<unterminated_tag_syntax type=\"tag\" offset=\"4\"/>",
         {Find(L"r")}},
        {"comment opening does not close it", L"<r/><!-->", false,
         L"<unterminated_tag_syntax type=\"comment\" offset=\"4\"/>", {Find(L"r")}},
        {"quoted '>' in attributes", L"<a b=\"x>y\" c='>'>t</a>", true, L"", {Find(L"a"), Text(L"t")}},
        {"quotes count only after '='", L"<a \"x>y\">t</a>", true, L"", {Find(L"a"), Text(L"y\">t")}},
        {"'/' of an unquoted value does not end the element", L"<a b=c/>t</a>", true, L"", {Find(L"a"), Text(L"t")}},
        {"empty elements", L"<r><a b=\"c\"/><d b=c /><e/></r>", true, L"",
         {Find(L"r"), Into(), Find(L"a"), Find(L"d"), Find(L"e"), Find(L"", false)}},
        {"'>' in text", L"<a>x>y</a>", true, L"", {Find(L"a"), Text(L"x>y")}},
        {"a NUL ends the text", std::wstring(L"<a>x</a>\0<b>", 12), true, L"", {Find(L"a"), Find(L"b", false)}},
        {"end tag matching an element below the innermost few", L"<r><x><a><b><c><d><e></x><f/></r>", false,
         L"<unended_start_tag tagname=\"e\" offset=\"18\" offset2=\"22\"/>"
         L"<unended_start_tag tagname=\"d\" offset=\"15\" offset2=\"22\"/>"
         L"<unended_start_tag tagname=\"c\" offset=\"12\" offset2=\"22\"/>"
         L"<unended_start_tag tagname=\"b\" offset=\"9\" offset2=\"22\"/>"
         L"<unended_start_tag tagname=\"a\" offset=\"6\" offset2=\"22\"/>",
         {Find(L"r"), Into(), Find(L"x"), Into(), Find(L"a"), Find(L"b"), Find(L"c"), Find(L"d"), Find(L"e"),
          Find(L"", false), Out(), Find(L"f")}},
        {"lone end tag under a deep stack", L"<r><a><b><c><d><e></q></e></d></c></b></a></r>", false,
         L"<lone_end_tag tagname=\"q\" offset=\"18\"/>",
         {Find(L"r"), Into(), Find(L"a"), Into(), Find(L"b"), Into(), Find(L"c")}},
        {"result names are escaped", L"<a></b\"></a>", false, L"<lone_end_tag tagname=\"b&quot;\" offset=\"3\"/>",
         {Find(L"a")}},
    };
    return cases;
}

void RunWalk(MarkupDocument& doc, const std::vector<Step>& walk) {
    for (size_t i = 0; i < walk.size(); ++i) {
        const Step& s = walk[i];
        SCOPED_TRACE("step " + std::to_string(i));
        switch (s.op) {
        case 'f': EXPECT_EQ(doc.FindElement(s.arg), s.ok); break;
        case 'i': EXPECT_EQ(doc.StepInto(), s.ok); break;
        case 'o': EXPECT_EQ(doc.StepOut(), s.ok); break;
        case 't': EXPECT_EQ(doc.GetText(), std::wstring(s.text)); break;
        }
    }
}

// Every record agrees with its links and lies inside the text and inside its parent.
void CheckIndex(const MarkupDocument& doc) {
    ElementRecord root;
    ASSERT_TRUE(doc.GetRecord(0, root));
    std::vector<uint32_t> pending = {0};
    size_t seen = 0;
    while (!pending.empty()) {
        uint32_t parent = pending.back();
        pending.pop_back();
        ElementRecord p;
        ASSERT_TRUE(doc.GetRecord(parent, p));
        uint32_t last = 0;
        size_t end = parent ? p.start + p.startTagLength : 0;
        for (uint32_t c = p.firstChild; c;) {
            ElementRecord r;
            ASSERT_TRUE(doc.GetRecord(c, r));
            ++seen;
            EXPECT_EQ(r.parent, parent);
            EXPECT_EQ(r.depth, parent ? p.depth + 1 : 0u);
            EXPECT_EQ((r.flags & kElemFirstChild) != 0, c == p.firstChild);
            if (c != p.firstChild) {
                EXPECT_EQ(r.previousSibling, last);
            }
            EXPECT_GE(r.start, end);
            EXPECT_LE(size_t(r.start) + r.length, parent ? size_t(p.start) + p.length - p.endTagLength : root.length);
            EXPECT_EQ(doc.GetDocument()[r.start], L'<');
            end = r.start + r.length;
            pending.push_back(c);
            last = c;
            c = r.nextSibling;
        }
        if (p.firstChild) {
            ElementRecord first;
            doc.GetRecord(p.firstChild, first);
            EXPECT_EQ(first.previousSibling, last);
        }
    }
}

}  // namespace

TEST(MarkupDocument, DocumentTable) {
    for (const DocumentCase& c : Cases()) {
        SCOPED_TRACE(c.label);
        MarkupDocument doc;
        EXPECT_EQ(doc.SetDocument(c.text), c.wellFormed);
        EXPECT_EQ(doc.IsWellFormed(), c.wellFormed);
        EXPECT_EQ(doc.GetResult(), c.result);
        CheckIndex(doc);
        RunWalk(doc, c.walk);
    }
}

TEST(MarkupDocument, ConstructorsAndNullText) {
    MarkupDocument fromText(L"<a>x</a>");
    EXPECT_TRUE(fromText.IsWellFormed());
    ASSERT_TRUE(fromText.FindElement(L"a"));
    EXPECT_EQ(fromText.GetText(), L"x");

    EXPECT_FALSE(fromText.SetDocument(static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(fromText.GetDocument(), L"");
    EXPECT_EQ(fromText.GetResult(), L"");
    EXPECT_FALSE(fromText.FindElement(L""));

    MarkupDocument empty;
    EXPECT_FALSE(empty.IsWellFormed());
    EXPECT_TRUE(empty.SetDocument(std::wstring(L"<b/>")));
}

TEST(MarkupDocument, ReparseResetsPositionsAndResult) {
    MarkupDocument doc(L"<a><b>1</b></a>");
    ASSERT_TRUE(doc.FindElement(L"a"));
    ASSERT_TRUE(doc.StepInto());
    ASSERT_TRUE(doc.FindElement(L"b"));
    EXPECT_FALSE(doc.SetDocument(L"<x>"));
    EXPECT_EQ(doc.GetCurrentPosition(), 0u);
    EXPECT_EQ(doc.GetParentPosition(), 0u);
    EXPECT_TRUE(doc.SetDocument(L"<c>2</c>"));
    EXPECT_EQ(doc.GetResult(), L"");
    ASSERT_TRUE(doc.FindElement(L"c"));
    EXPECT_EQ(doc.GetText(), L"2");
}

TEST(MarkupDocument, ResultTextStopsAtThousandUnits) {
    std::wstring text = L"<r>" + Repeat(L"</x>", 100) + L"</r>";
    MarkupDocument doc(text.c_str());
    const std::wstring& result = doc.GetResult();
    const std::wstring entry = L"<lone_end_tag tagname=\"x\" offset=\"";
    size_t entries = 0, lastStart = 0;
    for (size_t at = 0; (at = result.find(entry, at)) != std::wstring::npos; at += entry.size()) {
        ++entries;
        lastStart = at;
    }
    EXPECT_GE(result.size(), 1000u);
    EXPECT_LT(lastStart, 1000u);  // the last entry began below the limit
    EXPECT_LT(entries, 100u);
    EXPECT_EQ(result.find(L"root_has_sibling"), std::wstring::npos);
}

TEST(MarkupDocument, LongTagNamesAndStartTags) {
    // Lengths that do not fit the 10-bit end-tag and 22-bit start-tag fields of a packed record.
    std::wstring name(3000, L'n');
    std::wstring longTag = L"<t v=\"" + std::wstring(5u << 20, L'v') + L"\">y</t>";
    std::wstring text = L"<r><" + name + L">x</" + name + L"><b>z</b>" + longTag + L"<c/></r>";
    MarkupDocument doc;
    ASSERT_TRUE(doc.SetDocument(text));
    ASSERT_TRUE(doc.FindElement(L"r"));
    ASSERT_TRUE(doc.StepInto());
    ASSERT_TRUE(doc.FindElement(name.c_str()));
    EXPECT_EQ(doc.GetText(), L"x");
    ElementRecord r;
    ASSERT_TRUE(doc.GetRecord(doc.GetCurrentPosition(), r));
    EXPECT_EQ(r.endTagLength, name.size() + 3);
    ASSERT_TRUE(doc.FindElement(L"b"));
    EXPECT_EQ(doc.GetText(), L"z");
    ASSERT_TRUE(doc.FindElement(L"t"));
    EXPECT_EQ(doc.GetText(), L"y");
    ASSERT_TRUE(doc.GetRecord(doc.GetCurrentPosition(), r));
    EXPECT_EQ(r.startTagLength, longTag.size() - 5);
    EXPECT_TRUE(doc.FindElement(L"c"));
}

TEST(MarkupDocument, DeepNestingKeepsFlagsApartFromDepth) {
    const int depth = 70000;  // beyond 16 bits
    std::wstring text = Repeat(L"<a>", depth) + L"x" + Repeat(L"</a>", depth);
    MarkupDocument doc;
    ASSERT_TRUE(doc.SetDocument(text));
    for (int i = 0; i < depth; ++i) {
        ASSERT_TRUE(doc.FindElement(L"a")) << i;
        if (i + 1 < depth) {
            ASSERT_TRUE(doc.StepInto());
        }
    }
    EXPECT_EQ(doc.GetText(), L"x");
    ElementRecord r;
    ASSERT_TRUE(doc.GetRecord(doc.GetCurrentPosition(), r));
    EXPECT_EQ(r.depth, uint32_t(depth - 1));
    EXPECT_EQ(r.flags & (kElemNoEndTag | kElemContentError | kElemNotWellFormed), 0u);
}

TEST(MarkupDocument, ManyUnendedElementsStayLinear) {
    // A deep chain of unended elements, each with a closed child: flattened in one pass.
    const int depth = 50000;
    std::wstring text = L"<r>" + Repeat(L"<a><c/>", depth) + L"</r>";
    MarkupDocument doc;
    EXPECT_FALSE(doc.SetDocument(text));
    ASSERT_TRUE(doc.FindElement(L"r"));
    ASSERT_TRUE(doc.StepInto());
    int as = 0, cs = 0;
    while (doc.FindElement(L"")) {
        ElementRecord r;
        ASSERT_TRUE(doc.GetRecord(doc.GetCurrentPosition(), r));
        ASSERT_EQ(r.depth, 1u);
        ASSERT_EQ(r.firstChild, 0u);
        (doc.GetDocument()[r.start + 1] == L'a' ? as : cs)++;
    }
    EXPECT_EQ(as, depth);
    EXPECT_EQ(cs, depth);
    CheckIndex(doc);
}

// The two shapes below took seconds at these sizes while every close rewrote the depths of a
// growing subtree and every end tag was compared with every open name.
TEST(MarkupDocument, UnendedElementsClosedOneByOne) {
    const int k = 40000;
    std::wstring text = Repeat(L"<a><b>", k) + Repeat(L"</a>", k);
    MarkupDocument doc;
    EXPECT_FALSE(doc.SetDocument(text));
    // Each b gives the next a to its parent: a(i) holds b(i) and a(i + 1).
    EXPECT_EQ(doc.GetResult().rfind(L"<unended_start_tag tagname=\"b\" offset=\"" + std::to_wstring(6 * (k - 1) + 3) +
                                        L"\" offset2=\"" + std::to_wstring(6 * k + 1) + L"\"/>", 0),
              0u);
    CheckIndex(doc);
    for (int i = 0; i < k; ++i) {
        ASSERT_TRUE(doc.FindElement(L"a")) << i;
        ElementRecord r;
        ASSERT_TRUE(doc.GetRecord(doc.GetCurrentPosition(), r));
        ASSERT_EQ(r.depth, uint32_t(i));
        ASSERT_TRUE(doc.StepInto());
        ASSERT_TRUE(doc.FindElement(L"b")) << i;
        ASSERT_TRUE(doc.GetRecord(doc.GetCurrentPosition(), r));
        ASSERT_EQ(r.flags & kElemNoEndTag, kElemNoEndTag);
        ASSERT_EQ(r.firstChild, 0u);
    }
    EXPECT_FALSE(doc.FindElement(L""));
}

TEST(MarkupDocument, LoneEndTagsUnderManyOpenElements) {
    const int n = 40000;
    std::wstring text = Repeat(L"<a>", n) + Repeat(L"</b>", n);
    MarkupDocument doc;
    EXPECT_FALSE(doc.SetDocument(text));
    EXPECT_EQ(doc.GetResult().rfind(L"<lone_end_tag tagname=\"b\" offset=\"" + std::to_wstring(3 * n) + L"\"/>", 0), 0u);
    // Unended at the end of the text: every a is top-level and childless.
    int found = 0;
    while (doc.FindElement(L"a")) {
        ElementRecord r;
        ASSERT_TRUE(doc.GetRecord(doc.GetCurrentPosition(), r));
        ASSERT_EQ(r.depth, 0u);
        ASSERT_EQ(r.firstChild, 0u);
        ++found;
    }
    EXPECT_EQ(found, n);
    CheckIndex(doc);
}

TEST(MarkupDocument, GeneratedDocumentCrossesIndexPages) {
    // 200,000 elements: four pages of the index; the text is several megabytes.
    const int items = 100000;
    std::wstring text = L"<list>\r\n";
    for (int i = 0; i < items; ++i)
        text += L"  <item id=\"" + std::to_wstring(i) + L"\"><v>" + std::to_wstring(i * 7) + L"&amp;</v></item>\r\n";
    text += L"</list>\r\n";
    ASSERT_GT(text.size(), 4u << 20);
    MarkupDocument doc;
    ASSERT_TRUE(doc.SetDocument(text));
    ASSERT_TRUE(doc.FindElement(L"list"));
    ASSERT_TRUE(doc.StepInto());
    int seen = 0;
    while (doc.FindElement(L"item")) {
        ASSERT_TRUE(doc.StepInto());
        ASSERT_TRUE(doc.FindElement(L"v"));
        ASSERT_EQ(doc.GetText(), std::to_wstring(seen * 7) + L"&");
        ASSERT_TRUE(doc.StepOut());
        ++seen;
    }
    EXPECT_EQ(seen, items);
    ElementRecord last;
    EXPECT_TRUE(doc.GetRecord(2 * items + 1, last));
    EXPECT_FALSE(doc.GetRecord(2 * items + 2, last));
    CheckIndex(doc);
}

TEST(MarkupDocument, RandomInputsTerminateWithAConsistentIndex) {
    // Every token advances: no input may make the parser loop or read outside the text.
    const wchar_t alphabet[] = L"<>/!?-[]CDATE=\"' \tab&;#x1\u00e9";
    std::mt19937 random(12345);
    std::uniform_int_distribution<size_t> unit(0, sizeof(alphabet) / sizeof(wchar_t) - 2);
    std::uniform_int_distribution<int> length(0, 60);
    for (int n = 0; n < 3000; ++n) {
        std::wstring text;
        for (int i = length(random); i > 0; --i) text += alphabet[unit(random)];
        SCOPED_TRACE(std::string(text.begin(), text.end()));
        MarkupDocument doc;
        doc.SetDocument(text);
        CheckIndex(doc);
        for (int i = 0; i < 20 && doc.FindElement(L""); ++i) {
            doc.GetText();
            if (i % 3 == 0) doc.StepInto();
        }
    }
}

TEST(MarkupDocument, PositionsOutsideTheIndexAreRefused) {
    MarkupDocument doc(L"<a><b/></a>");
    EXPECT_FALSE(doc.SetPosition(0, 99, 0));
    EXPECT_EQ(doc.GetNodeText(99), L"");
    EXPECT_TRUE(doc.SetPosition(1, 2, 0));
    EXPECT_TRUE(doc.StepOut());
    EXPECT_EQ(doc.GetCurrentPosition(), 1u);
}

TEST(ElementPath, Syntax) {
    struct {
        const wchar_t* path;
        int kind;
        size_t offset, length;
    } cases[] = {
        {L"", ElementPath::kEmpty, 0, 0},
        {L"a", ElementPath::kRelative, 0, 1},
        {L"ab/cd", ElementPath::kRelative, 0, 2},
        {L"/a/b", ElementPath::kAbsolute, 1, 1},
        {L"//a", ElementPath::kAnywhere, 2, 1},
        {L"//a/b", ElementPath::kInvalid, 0, 0},
        {L"a/", ElementPath::kInvalid, 0, 0},
        {L"a b", ElementPath::kInvalid, 0, 0},
        {L"a[2]", ElementPath::kRelative, 0, 1},
        {L"a[0]", ElementPath::kRelative, 0, 1},  // a name predicate
        {L"a[12]/b", ElementPath::kRelative, 0, 1},
        {L"a[@x]", ElementPath::kRelative, 0, 1},
        {L"a[@x='v]w']", ElementPath::kRelative, 0, 1},
        {L"a[@x=\"v\"]/b", ElementPath::kRelative, 0, 1},
        {L"a[@x=v w]", ElementPath::kRelative, 0, 1},
        {L"a[b]", ElementPath::kRelative, 0, 1},
        {L"a[]", ElementPath::kInvalid, 0, 0},
        {L"a[2", ElementPath::kInvalid, 0, 0},
        {L"a[@x='v]", ElementPath::kInvalid, 0, 0},
        {L"a[2]b", ElementPath::kInvalid, 0, 0},
        {L"a/@b", ElementPath::kRelative, 0, 1},
        {L"a/@b/c", ElementPath::kInvalid, 0, 0},
        {L"a/@", ElementPath::kInvalid, 0, 0},
        {L"a=b", ElementPath::kInvalid, 0, 0},
        {L"a]", ElementPath::kInvalid, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + wcslen(c.path)));
        ElementPath p = ElementPath::Parse(c.path);
        EXPECT_EQ(p.kind, c.kind);
        if (c.kind > 0) {
            EXPECT_EQ(p.nameOffset, c.offset);
            EXPECT_EQ(p.nameLength, c.length);
        }
    }
    EXPECT_EQ(ElementPath::Parse(nullptr).kind, ElementPath::kEmpty);
}
