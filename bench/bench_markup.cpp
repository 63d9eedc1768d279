// Parses and walks a generated document of more than 20 MB with MarkupDocument and parses the
// same bytes with expat; prints both times and their ratio (below 1: the reader is faster).
// Then parses two malformed shapes of 1 MB (unended elements closed one by one, lone end tags)
// and prints each time as a ratio against parsing a normal document of the same size.
#include <expat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "markup/MarkupDocument.h"
#include "markup/MarkupEncoding.h"

namespace {

void AppendUtf8(std::string& out, wchar_t c) {
    uint32_t v = uint32_t(c);
    if (v < 0x80) {
        out += char(v);
    } else if (v < 0x800) {
        out += char(0xC0 | (v >> 6));
        out += char(0x80 | (v & 0x3F));
    } else {
        out += char(0xE0 | (v >> 12));
        out += char(0x80 | ((v >> 6) & 0x3F));
        out += char(0x80 | (v & 0x3F));
    }
}

// A catalogue of items with attributes, nested elements, references, comments and non-ASCII text.
std::wstring Generate(size_t minimumBytes) {
    static const wchar_t* words[] = {L"alpha", L"b\u00e9ta", L"gamma", L"\u0434\u0435\u043b\u044c\u0442\u0430",
                                     L"epsilon", L"zeta &amp; eta", L"theta", L"\u03b9\u03c9\u03c4\u03b1"};
    std::wstring text = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<catalog>\r\n";
    for (unsigned i = 0; text.size() < minimumBytes; ++i) {
        std::wstring n = std::to_wstring(i);
        text += L"  <item id=\"" + n + L"\" kind=\"k" + std::to_wstring(i % 7) + L"\">\r\n";
        text += L"    <name>" + std::wstring(words[i % 8]) + L" " + n + L"</name>\r\n";
        text += L"    <price currency=\"EUR\">" + std::to_wstring(i % 1000) + L".50</price>\r\n";
        if (i % 5 == 0) text += L"    <!-- restocked -->\r\n";
        text += L"    <tags><tag>" + std::wstring(words[(i + 3) % 8]) + L"</tag><tag>" + words[(i + 5) % 8] +
                L"</tag></tags>\r\n";
        text += L"    <note>" + std::wstring(words[(i + 1) % 8]) + L" &lt;" + words[(i + 2) % 8] +
                L"&gt; " + words[(i + 4) % 8] + L"</note>\r\n";
        text += L"  </item>\r\n";
    }
    text += L"</catalog>\r\n";
    return text;
}

struct Tally {
    size_t elements = 0;
    size_t textUnits = 0;
};

// Every element found, and the text of every element without children.
void Walk(RYL::MarkupDocument& doc, Tally& tally) {
    for (;;) {
        while (doc.FindElement(L"")) {
            ++tally.elements;
            tally.textUnits += doc.GetText().size();
            if (!doc.StepInto()) break;
        }
        if (!doc.StepOut()) return;
    }
}

struct ExpatTally {
    Tally tally;
    size_t textUnits = 0;
};

void XMLCALL OnStart(void* data, const XML_Char*, const XML_Char**) {
    static_cast<ExpatTally*>(data)->tally.elements++;
}
void XMLCALL OnEnd(void*, const XML_Char*) {}
void XMLCALL OnText(void* data, const XML_Char* s, int len) {
    // Code points, to compare with the reader's units.
    size_t n = 0;
    for (int i = 0; i < len; ++i) n += (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80;
    static_cast<ExpatTally*>(data)->textUnits += n;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::wstring Repeat(const std::wstring& piece, size_t times) {
    std::wstring out;
    out.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

// <a><b> k times, then </a> k times: every </a> closes one unended <b> holding the rest.
std::wstring UnendedChain(size_t units) {
    size_t k = units / 10;
    return Repeat(L"<a><b>", k) + Repeat(L"</a>", k);
}

// <a> n times, then </b> n times: no end tag matches an open element.
std::wstring LoneEndTags(size_t units) {
    size_t n = units / 7;
    return Repeat(L"<a>", n) + Repeat(L"</b>", n);
}

// Best time of SetDocument on the text.
double BestParse(const std::wstring& text, int rounds) {
    double best = 1e9;
    for (int round = 0; round < rounds; ++round) {
        auto t0 = std::chrono::steady_clock::now();
        RYL::MarkupDocument doc;
        doc.SetDocument(text);
        best = std::min(best, Seconds(std::chrono::steady_clock::now() - t0));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    size_t megabytes = argc > 1 ? size_t(std::atoi(argv[1])) : 24;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    std::wstring text = Generate(megabytes << 20);
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 4);
    for (wchar_t c : text) AppendUtf8(bytes, c);

    double best = 1e9, bestFromBytes = 1e9, bestExpat = 1e9;
    Tally tally, tallyFromBytes;
    ExpatTally expat;
    for (int round = 0; round < rounds; ++round) {
        // The reader on the text in memory.
        auto t0 = std::chrono::steady_clock::now();
        {
            RYL::MarkupDocument doc;
            if (!doc.SetDocument(text)) {
                std::fprintf(stderr, "not well formed: %ls\n", doc.GetResult().c_str());
                return 1;
            }
            tally = Tally();
            Walk(doc, tally);
        }
        best = std::min(best, Seconds(std::chrono::steady_clock::now() - t0));

        // The reader from the bytes: UTF-8 decoding, then the same.
        auto t1 = std::chrono::steady_clock::now();
        {
            std::wstring decoded;
            RYL::TextDecoder(L"UTF-8").Decode(bytes.data(), bytes.size(), true, decoded);
            RYL::MarkupDocument doc;
            doc.SetDocument(std::move(decoded));
            tallyFromBytes = Tally();
            Walk(doc, tallyFromBytes);
        }
        bestFromBytes = std::min(bestFromBytes, Seconds(std::chrono::steady_clock::now() - t1));

        auto t2 = std::chrono::steady_clock::now();
        XML_Parser parser = XML_ParserCreate("UTF-8");
        expat = ExpatTally();
        XML_SetUserData(parser, &expat);
        XML_SetElementHandler(parser, OnStart, OnEnd);
        XML_SetCharacterDataHandler(parser, OnText);
        if (XML_Parse(parser, bytes.data(), int(bytes.size()), 1) != XML_STATUS_OK) {
            std::fprintf(stderr, "expat: %s\n", XML_ErrorString(XML_GetErrorCode(parser)));
            return 1;
        }
        XML_ParserFree(parser);
        bestExpat = std::min(bestExpat, Seconds(std::chrono::steady_clock::now() - t2));
    }
    if (tallyFromBytes.elements != tally.elements || tallyFromBytes.textUnits != tally.textUnits) {
        std::fprintf(stderr, "reading from the bytes differs\n");
        return 1;
    }
    if (tally.elements != expat.tally.elements) {
        std::fprintf(stderr, "element counts differ: %zu and %zu\n", tally.elements, expat.tally.elements);
        return 1;
    }
    std::printf("markup: %.1f MB (UTF-8), %zu elements, %zu text units read, best of %d\n",
                double(bytes.size()) / (1 << 20), tally.elements, tally.textUnits, rounds);
    std::printf("MarkupDocument, text in memory:      %.3f s\n", best);
    std::printf("MarkupDocument, from the bytes:      %.3f s (UTF-8 decoding included)\n", bestFromBytes);
    std::printf("expat, from the same bytes:          %.3f s\n", bestExpat);
    std::printf("ratio (MarkupDocument / expat), text in memory: %.2f\n", best / bestExpat);
    std::printf("ratio (MarkupDocument / expat), from the bytes: %.2f\n", bestFromBytes / bestExpat);

    std::wstring normal = Generate(1 << 20);
    double bestNormal = BestParse(normal, rounds);
    double bestUnended = BestParse(UnendedChain(normal.size()), rounds);
    double bestLone = BestParse(LoneEndTags(normal.size()), rounds);
    std::printf("MarkupDocument, normal document of %.1f MB:          %.4f s\n", double(normal.size()) / (1 << 20),
                bestNormal);
    std::printf("MarkupDocument, unended elements closed one by one: %.4f s, ratio %.2f\n", bestUnended,
                bestUnended / bestNormal);
    std::printf("MarkupDocument, lone end tags:                      %.4f s, ratio %.2f\n", bestLone,
                bestLone / bestNormal);
    return 0;
}
