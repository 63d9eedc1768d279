#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Text.h"
#include "markup/MarkupDocument.h"

using namespace RYL;
namespace fs = std::filesystem;

namespace {

class MarkupFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(ZELK_TEST_WORK_DIR) /
               (std::string("markup_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::wstring Write(const std::string& name, const std::string& bytes) {
        fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.wstring();
    }
    std::string ReadBytes(const std::wstring& path) {
        std::ifstream in(fs::path(path), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::wstring Path(const std::string& name) { return (dir_ / name).wstring(); }

    fs::path dir_;
};

std::string Encode(const std::wstring& text, const char* charset) {
    iconv_t cd = iconv_open(charset, "WCHAR_T");
    std::string out(text.size() * 8 + 16, '\0');
    char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text.data()));
    size_t inLeft = text.size() * sizeof(wchar_t);
    char* o = out.data();
    size_t oLeft = out.size();
    iconv(cd, &in, &inLeft, &o, &oLeft);
    iconv_close(cd);
    out.resize(out.size() - oLeft);
    return out;
}

// The value of an attribute of the first element of that name in a result text; "(none)" when the
// element is absent, "(no attribute)" when it lacks the attribute.
std::wstring ResultAttribute(const std::wstring& result, const std::wstring& element, const std::wstring& attribute) {
    size_t at = result.find(L"<" + element + L" ");
    if (at == std::wstring::npos) at = result.find(L"<" + element + L"/");
    if (at == std::wstring::npos) return L"(none)";
    size_t end = result.find(L"/>", at);
    std::wstring tag = result.substr(at, end - at);
    size_t a = tag.find(L" " + attribute + L"=\"");
    if (a == std::wstring::npos) return L"(no attribute)";
    a += attribute.size() + 3;
    return tag.substr(a, tag.find(L'"', a) - a);
}

// The texts of every element without children, in document order.
std::vector<std::wstring> Texts(MarkupDocument& doc) {
    std::vector<std::wstring> texts;
    for (;;) {
        while (doc.FindElement(L"")) {
            texts.push_back(doc.GetText());
            doc.StepInto();
        }
        if (!doc.StepOut()) return texts;
    }
}

std::wstring SampleBody(bool supplementary) {
    std::wstring body = L"<list>\r\n";
    for (int i = 0; i < 40; ++i) {
        body += L"  <item n=\"" + std::to_wstring(i) + L"\">\u65e5\u672c\u8a9e " + std::to_wstring(i) +
                L" \u30ab\u30bf\u30ab\u30ca &amp; x" + (supplementary ? L" \u00e9\u20ac\U0001F600" : L"") +
                L"</item>\r\n";
    }
    return body + L"</list>\r\n";
}

const size_t kChunks[] = {4, 5, 7, 13, 64, 1 << 20};

}  // namespace

TEST_F(MarkupFileTest, ReadsInChunksAsWhole) {
    struct {
        const char* label;
        std::wstring declared;  // encoding in the declaration
        const char* charset;
        std::string bom;
        bool supplementary;
        const wchar_t* encoding;  // expected in the results
        bool detected, swapped, converted;
    } cases[] = {
        {"UTF-8 by detection", L"", "UTF-8", "", true, L"UTF-8", true, false, true},
        {"UTF-8 with mark", L"", "UTF-8", "\xEF\xBB\xBF", true, L"UTF-8", false, false, true},
        {"UTF-16LE", L"", "UTF-16LE", "\xFF\xFE", true, L"UTF-16", false, false, false},
        {"UTF-16BE", L"", "UTF-16BE", "\xFE\xFF", true, L"UTF-16BE", false, true, false},
        {"UTF-32LE with mark", L"", "UTF-32LE", std::string("\xFF\xFE\0\0", 4), true, L"UTF-32", false, false, true},
        {"UTF-32BE with mark", L"", "UTF-32BE", std::string("\0\0\xFE\xFF", 4), true, L"UTF-32BE", false, false, true},
        {"Shift_JIS declared", L"Shift_JIS", "CP932", "", false, L"Shift_JIS", false, false, true},
        {"GB18030 declared", L"GB18030", "GB18030", "", true, L"GB18030", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::wstring text = SampleBody(c.supplementary);
        if (!c.declared.empty()) text = L"<?xml version=\"1.0\" encoding=\"" + c.declared + L"\"?>\r\n" + text;
        std::string bytes = c.bom + Encode(text, c.charset);
        std::wstring path = Write("doc.xml", bytes);
        for (size_t chunk : kChunks) {
            SCOPED_TRACE("chunk " + std::to_string(chunk));
            MarkupDocument doc;
            ASSERT_TRUE(doc.OpenFile(path, kModeReadFile, L"", chunk));
            EXPECT_EQ(doc.GetMode(), kModeReadFile);
            EXPECT_TRUE(doc.IsWellFormed());
            EXPECT_EQ(doc.GetResult(), L"");
            EXPECT_EQ(doc.GetDocument(), text);
            const std::wstring& result = doc.GetFileResult();
            EXPECT_EQ(ResultAttribute(result, L"read", L"encoding"), c.encoding) << result;
            EXPECT_EQ(ResultAttribute(result, L"read", L"length"), std::to_wstring(bytes.size()));
            EXPECT_EQ(ResultAttribute(result, L"utf8_detection", L"x") != L"(none)", c.detected);
            EXPECT_EQ(ResultAttribute(result, L"endian_swap", L"x") != L"(none)", c.swapped);
            if (c.converted) {
                EXPECT_EQ(ResultAttribute(result, L"converted_to", L"encoding"), c.encoding);
                EXPECT_EQ(ResultAttribute(result, L"converted_to", L"length"), std::to_wstring(text.size()));
            } else {
                EXPECT_EQ(ResultAttribute(result, L"converted_to", L"length"), L"(none)");
            }
            EXPECT_EQ(ResultAttribute(result, L"file_error", L"n"), L"(none)");
            EXPECT_EQ(ResultAttribute(result, L"truncation_error", L"encoding"), L"(none)");
            EXPECT_FALSE(doc.SetDocument(L"<x/>"));
            EXPECT_FALSE(doc.AddElem(L"x", L"", 0));
            std::vector<std::wstring> texts = Texts(doc);
            ASSERT_EQ(texts.size(), 41u);
            EXPECT_EQ(texts[3], L"\u65e5\u672c\u8a9e 2 \u30ab\u30bf\u30ab\u30ca & x" +
                                    std::wstring(c.supplementary ? L" \u00e9\u20ac\U0001F600" : L""));
            EXPECT_TRUE(doc.CloseFile());
            EXPECT_EQ(doc.GetMode(), 0u);
            EXPECT_TRUE(doc.SetDocument(L"<x/>"));
        }
    }
}

TEST_F(MarkupFileTest, AsciiThenMultibyteIsDetectedLate) {
    std::wstring text = L"<r>" + std::wstring(100, L'a') + L"\u00e9</r>";
    std::wstring path = Write("late.xml", Encode(text, "UTF-8"));
    MarkupDocument doc;
    ASSERT_TRUE(doc.OpenFile(path, kModeReadFile, L"", 16));
    EXPECT_EQ(doc.GetDocument(), text);
    EXPECT_EQ(ResultAttribute(doc.GetFileResult(), L"read", L"encoding"), L"UTF-8");
    EXPECT_NE(ResultAttribute(doc.GetFileResult(), L"utf8_detection", L"x"), L"(none)");
}

TEST_F(MarkupFileTest, LongTokenAcrossManyChunks) {
    std::wstring value(300000, L'\u00e9');
    std::wstring text = L"<r><![CDATA[" + value + L"]]></r>";
    std::wstring path = Write("long.xml", Encode(text, "UTF-8"));
    MarkupDocument doc;
    ASSERT_TRUE(doc.OpenFile(path, kModeReadFile, L"", 5));
    ASSERT_TRUE(doc.FindElement(L"r"));
    EXPECT_EQ(doc.GetText(), value);
    EXPECT_EQ(ResultAttribute(doc.GetFileResult(), L"read", L"length"), std::to_wstring(value.size() * 2 + 19));
}

TEST_F(MarkupFileTest, NullsAreRemovedAndCounted) {
    std::string bytes = std::string("<r>a\0b\0\0c</r>", 13);
    std::wstring path = Write("nulls.xml", bytes);
    MarkupDocument doc;
    ASSERT_TRUE(doc.OpenFile(path, kModeReadFile, L"", 4));
    EXPECT_EQ(doc.GetDocument(), L"<r>abc</r>");
    EXPECT_EQ(ResultAttribute(doc.GetFileResult(), L"nulls_removed", L"count"), L"3");
    ASSERT_TRUE(doc.FindElement(L"r"));
    EXPECT_EQ(doc.GetText(), L"abc");
}

TEST_F(MarkupFileTest, Utf32FileKeepsItsZeroBytes) {
    std::wstring text = L"<r>\u00e9\U0001F600</r>";
    std::wstring path = Write("utf32.xml", Encode(text, "UTF-32LE"));
    MarkupDocument doc;
    ASSERT_TRUE(doc.OpenFile(path, kModeReadFile, L"UTF-32", 6));
    EXPECT_EQ(doc.GetDocument(), text);
    EXPECT_EQ(ResultAttribute(doc.GetFileResult(), L"nulls_removed", L"count"), L"(none)");
}

TEST_F(MarkupFileTest, Utf32MarkIsDroppedWhateverTheCallerNames) {
    const std::wstring text = L"<r>\U0001F600</r>";
    struct {
        const char* charset;
        std::string bom;
        const wchar_t* named;
    } cases[] = {
        {"UTF-32LE", std::string("\xFF\xFE\0\0", 4), L"UTF-32"},
        {"UTF-32LE", std::string("\xFF\xFE\0\0", 4), L""},
        {"UTF-32BE", std::string("\0\0\xFE\xFF", 4), L"UTF-32BE"},
        {"UTF-32BE", std::string("\0\0\xFE\xFF", 4), L"UTF-16"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.charset) + " named " + plat::NarrowFromWide(c.named));
        std::wstring path = Write("marked.xml", c.bom + Encode(text, c.charset));
        MarkupDocument doc;
        ASSERT_TRUE(doc.OpenFile(path, kModeReadFile, c.named, 6));
        EXPECT_EQ(doc.GetDocument(), text);
        EXPECT_EQ(ResultAttribute(doc.GetFileResult(), L"nulls_removed", L"count"), L"(none)");
        ASSERT_TRUE(doc.FindElement(L"r"));
        EXPECT_EQ(doc.GetText(), L"\U0001F600");
    }
}

// A byte-order mark decides the encoding whatever name the caller gives, at every chunk size.
TEST_F(MarkupFileTest, EveryMarkWinsOverTheNamedEncoding) {
    const std::wstring text = L"<r>\u00e9\u20ac\U0001F600 x</r>";
    struct {
        const char* charset;
        std::string bom;
    } marks[] = {
        {"UTF-8", "\xEF\xBB\xBF"},
        {"UTF-16LE", "\xFF\xFE"},
        {"UTF-16BE", "\xFE\xFF"},
        {"UTF-32LE", std::string("\xFF\xFE\0\0", 4)},
        {"UTF-32BE", std::string("\0\0\xFE\xFF", 4)},
    };
    const wchar_t* const names[] = {L"", L"UTF-8", L"UTF-16", L"UTF-16BE", L"UTF-16LE", L"UTF-32", L"ISO-8859-1", L"Shift_JIS"};
    for (const auto& mark : marks) {
        const std::wstring path = Write("marked.xml", mark.bom + Encode(text, mark.charset));
        for (const wchar_t* name : names) {
            for (size_t chunk : kChunks) {
                SCOPED_TRACE(std::string(mark.charset) + " mark, named \"" + plat::NarrowFromWide(name) + "\", chunk " +
                             std::to_string(chunk));
                MarkupDocument doc;
                ASSERT_TRUE(doc.OpenFile(path, kModeReadFile, name, chunk));
                EXPECT_EQ(doc.GetDocument(), text);
                ASSERT_TRUE(doc.FindElement(L"r"));
                EXPECT_EQ(doc.GetText(), L"\u00e9\u20ac\U0001F600 x");
            }
        }
    }
}

TEST_F(MarkupFileTest, InvalidByteDoesNotSplitLaterCharacters) {
    // Undeclared UTF-8 whose first chunk holds an invalid byte before multibyte characters.
    std::wstring euros(50, L'\u20ac');
    std::wstring path = Write("invalid.xml", "<r>\xFF" + Encode(euros, "UTF-8") + "</r>");
    std::wstring expected = L"<r>\uFFFD" + euros + L"</r>";
    for (size_t chunk : {size_t(4), size_t(5), size_t(7), size_t(8), size_t(9), size_t(10), size_t(13), size_t(16384)}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        MarkupDocument doc;
        ASSERT_TRUE(doc.OpenFile(path, kModeReadFile, L"", chunk));
        EXPECT_EQ(doc.GetDocument(), expected);
    }
}

TEST_F(MarkupFileTest, FailedOpenLeavesAnEmptyDocument) {
    struct {
        const char* label;
        std::wstring path;
        uint32_t mode;
        const wchar_t* n;
        const wchar_t* msg;
    } cases[] = {
        {"missing file", Path("absent.xml"), kModeReadFile, L"2", L"The file could not be found."},
        {"directory to read", dir_.wstring(), kModeReadFile, L"336", L"The path names a directory, not a file."},
        {"directory to write", dir_.wstring(), kModeWriteFile, L"336", L"The path names a directory, not a file."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        MarkupDocument doc;
        ASSERT_TRUE(doc.SetDocument(L"<a><b>x</b></a>"));
        EXPECT_FALSE(doc.OpenFile(c.path, c.mode));
        EXPECT_EQ(doc.GetMode(), 0u);
        EXPECT_EQ(doc.GetDocument(), L"");
        EXPECT_FALSE(doc.IsWellFormed());
        EXPECT_FALSE(doc.FindElement(L"a"));
        EXPECT_FALSE(doc.FindElement(L""));
        EXPECT_EQ(ResultAttribute(doc.GetFileResult(), L"file_error", L"n"), c.n);
        EXPECT_EQ(ResultAttribute(doc.GetFileResult(), L"file_error", L"msg"), c.msg);
        EXPECT_TRUE(doc.SetDocument(L"<c/>"));
    }
}

TEST_F(MarkupFileTest, EncodingGivenByTheCaller) {
    std::wstring text = L"<r>caf\u00e9</r>";
    std::wstring path = Write("latin.xml", Encode(text, "ISO-8859-1"));
    MarkupDocument doc;
    ASSERT_TRUE(doc.OpenFile(path, kModeReadFile, L"latin1", 3));
    EXPECT_EQ(doc.GetDocument(), text);
    EXPECT_EQ(ResultAttribute(doc.GetFileResult(), L"converted_to", L"encoding"), L"latin1");
}

TEST_F(MarkupFileTest, MissingFileIsAFileError) {
    MarkupDocument doc;
    EXPECT_FALSE(doc.OpenFile(Path("absent.xml"), kModeReadFile));
    EXPECT_EQ(doc.GetMode(), 0u);
    const std::wstring& result = doc.GetFileResult();
    EXPECT_EQ(ResultAttribute(result, L"file_error", L"n"), L"2");
    std::wstring msg = ResultAttribute(result, L"file_error", L"msg");
    EXPECT_FALSE(msg.empty());
    EXPECT_EQ(msg.find_first_of(L"\r\n"), std::wstring::npos);
    EXPECT_LE(msg.size(), 100u);
    EXPECT_FALSE(doc.CloseFile());
    EXPECT_FALSE(doc.OpenFile(Path("x"), 0));
}

TEST_F(MarkupFileTest, WritesInPiecesAndReadsBack) {
    struct {
        const wchar_t* encoding;
        const wchar_t* written;  // expected in the results
        bool converted;
    } cases[] = {{L"", L"UTF-8", true}, {L"UTF-16BE", L"UTF-16BE", false}, {L"UTF-16", L"UTF-16", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::wstring(c.written).size());
        std::wstring path = Path("out.xml");
        const int items = 300;
        {
            MarkupDocument doc;
            ASSERT_TRUE(doc.OpenFile(path, kModeWriteFile, c.encoding, 256));
            EXPECT_TRUE(doc.IsWellFormed());
            EXPECT_FALSE(doc.SetDocument(L"<x/>"));
            ASSERT_TRUE(doc.AddElem(L"list", L"", 0));
            ASSERT_TRUE(doc.SetAttrib(doc.GetCurrentPosition(), L"count", items, 0));
            ASSERT_TRUE(doc.StepInto());
            EXPECT_FALSE(doc.AddElem(L"x", L"", kAddChild));  // refused in write-file mode
            for (int i = 0; i < items; ++i) {
                ASSERT_TRUE(doc.AddElem(L"item", (L"\u65e5 " + std::to_wstring(i) + L" <&> \U0001F600").c_str(), 0));
                ASSERT_TRUE(doc.SetAttrib(doc.GetCurrentPosition(), L"n", i, 0));
                EXPECT_FALSE(doc.FindElement(L""));
            }
            ASSERT_TRUE(doc.StepOut());
            ASSERT_TRUE(doc.AddElem(L"tail", L"end", 0));
            // Positions of written elements were reused.
            ElementRecord r;
            EXPECT_FALSE(doc.GetRecord(2 * items, r));
            ASSERT_TRUE(doc.CloseFile());
            const std::wstring& result = doc.GetFileResult();
            EXPECT_EQ(ResultAttribute(result, L"write", L"encoding"), c.written) << result;
            size_t writes = 0;
            for (size_t at = 0; (at = result.find(L"<write ", at)) != std::wstring::npos; ++at) ++writes;
            EXPECT_GT(writes, 2u) << "written in several pieces";
            EXPECT_EQ(ResultAttribute(result, L"converted_from", L"encoding") != L"(none)", c.converted);
            EXPECT_EQ(ResultAttribute(result, L"conversion_loss", L"x"), L"(none)");
        }
        MarkupDocument back;
        ASSERT_TRUE(back.OpenFile(path, kModeReadFile, L"", 100));
        EXPECT_EQ(back.GetResult(), L"<root_has_sibling/>");  // list and tail
        ASSERT_TRUE(back.FindElement(L"list"));
        ASSERT_TRUE(back.StepInto());
        for (int i = 0; i < items; ++i) {
            ASSERT_TRUE(back.FindElement(L"item")) << i;
            ASSERT_EQ(back.GetText(), L"\u65e5 " + std::to_wstring(i) + L" <&> \U0001F600");
        }
        EXPECT_FALSE(back.FindElement(L""));
        ASSERT_TRUE(back.StepOut());
        ASSERT_TRUE(back.FindElement(L"tail"));
        EXPECT_EQ(back.GetText(), L"end");
        EXPECT_EQ(back.GetDocument().substr(0, 28), L"<list count=\"300\">\r\n<item n=");
        EXPECT_EQ(back.GetDocument().find(L"</item><item"), std::wstring::npos) << "one element a line";
    }
}

TEST_F(MarkupFileTest, WriteConversionLoss) {
    std::wstring path = Path("latin.xml");
    {
        MarkupDocument doc;
        ASSERT_TRUE(doc.OpenFile(path, kModeWriteFile, L"windows-1252"));
        ASSERT_TRUE(doc.AddElem(L"r", L"caf\u00e9 \u65e5", 0));
        ASSERT_TRUE(doc.CloseFile());
        EXPECT_NE(ResultAttribute(doc.GetFileResult(), L"conversion_loss", L"x"), L"(none)");
        EXPECT_EQ(ResultAttribute(doc.GetFileResult(), L"converted_from", L"length"), L"15");
    }
    EXPECT_EQ(ReadBytes(path), "<r>caf\xE9 ?</r>\r\n");
}

TEST_F(MarkupFileTest, WriteFailureIsAFileError) {
    MarkupDocument doc;
    ASSERT_TRUE(doc.OpenFile(L"/dev/full", kModeWriteFile, L"", 64));
    ASSERT_TRUE(doc.AddElem(L"r", L"x", 0));
    EXPECT_FALSE(doc.CloseFile());
    EXPECT_EQ(ResultAttribute(doc.GetFileResult(), L"file_error", L"n"), L"112");
}
