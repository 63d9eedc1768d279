// Parses and walks a generated document of more than 20 MB with MarkupDocument and parses the
// same bytes with expat; prints both times and their ratio (below 1: the reader is faster).
// Then each reads the document's file once in a fresh process of its own (the heap and the page
// tables as a program finds them), best of 5 each, and the ratio of those times is printed too.
// Last it parses two malformed shapes of 1 MB (unended elements closed one by one, lone end tags)
// and prints each time as a ratio against parsing a normal document of the same size.
#include <expat.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// Parses the bytes with expat, counting elements and text.
bool ExpatParse(const std::string& bytes, ExpatTally& expat) {
    XML_Parser parser = XML_ParserCreate("UTF-8");
    expat = ExpatTally();
    XML_SetUserData(parser, &expat);
    XML_SetElementHandler(parser, OnStart, OnEnd);
    XML_SetCharacterDataHandler(parser, OnText);
    bool ok = XML_Parse(parser, bytes.data(), int(bytes.size()), 1) == XML_STATUS_OK;
    if (!ok) std::fprintf(stderr, "expat: %s\n", XML_ErrorString(XML_GetErrorCode(parser)));
    XML_ParserFree(parser);
    return ok;
}

// Decodes the UTF-8 bytes, parses them with the reader and walks the document.
bool ReaderParse(const std::string& bytes, Tally& tally) {
    std::wstring decoded;
    RYL::TextDecoder(L"UTF-8").Decode(bytes.data(), bytes.size(), true, decoded);
    RYL::MarkupDocument doc;
    if (!doc.SetDocument(std::move(decoded))) {
        std::fprintf(stderr, "not well formed: %ls\n", doc.GetResult().c_str());
        return false;
    }
    tally = Tally();
    Walk(doc, tally);
    return true;
}

// The child of the fresh-process figure: reads the file once and parses it with one reader;
// prints the seconds from opening the file to the document's end and the element count.
int FreshChild(const char* which, const char* path) {
    auto t0 = std::chrono::steady_clock::now();
    std::string bytes;
    {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) return 2;
        bytes.resize(size_t(st.st_size));
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return 2;
            done += size_t(n);
        }
        close(fd);
    }
    size_t elements = 0;
    if (std::strcmp(which, "reader") == 0) {
        Tally tally;
        if (!ReaderParse(bytes, tally)) return 1;
        elements = tally.elements;
    } else {
        ExpatTally expat;
        if (!ExpatParse(bytes, expat)) return 1;
        elements = expat.tally.elements;
    }
    const double wall = Seconds(std::chrono::steady_clock::now() - t0);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    // The peak of this program's own memory (the rusage of a spawned child may hold its parent's).
    long peakKiB = 0;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "VmHWM: %ld kB", &peakKiB) == 1) break;
        std::fclose(status);
    }
    std::printf("%.6f %.6f %zu %ld %ld\n", wall, seconds(usage.ru_utime) + seconds(usage.ru_stime), elements, peakKiB,
                usage.ru_minflt);
    return 0;
}

struct FreshRun {
    double seconds = 1e9;
    double cpuSeconds = 1e9;
    size_t elements = 0;
    long maxRssKiB = 0;
    long minorFaults = 0;
};

// Runs this program as a fresh child on the file; false when it fails.
bool RunFresh(const char* which, const std::string& path, FreshRun& run) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    std::string self = "/proc/self/exe", flag = "--fresh", kind = which, file = path;
    char* argv[] = {self.data(), flag.data(), kind.data(), file.data(), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t n; rc == 0 && (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, size_t(n));
    close(pipeFds[0]);
    if (rc != 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    return std::sscanf(out.c_str(), "%lf %lf %zu %ld %ld", &run.seconds, &run.cpuSeconds, &run.elements,
                       &run.maxRssKiB, &run.minorFaults) == 5;
}

}  // namespace

int main(int argc, char** argv) {
    // --fresh reader|expat FILE: one child of the fresh-process figure (also for profiling it);
    // --write FILE: writes the document's file and stops.
    if (argc == 4 && std::strcmp(argv[1], "--fresh") == 0) return FreshChild(argv[2], argv[3]);
    const bool writeOnly = argc == 3 && std::strcmp(argv[1], "--write") == 0;
    size_t megabytes = argc > 1 && !writeOnly ? size_t(std::atoi(argv[1])) : 24;
    int rounds = argc > 2 && !writeOnly ? std::atoi(argv[2]) : 5;
    std::wstring text = Generate(megabytes << 20);
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 4);
    for (wchar_t c : text) AppendUtf8(bytes, c);
    if (writeOnly) {
        FILE* file = std::fopen(argv[2], "wb");
        bool ok = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
        if (file) ok = std::fclose(file) == 0 && ok;
        return ok ? 0 : 1;
    }

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
        if (!ReaderParse(bytes, tallyFromBytes)) return 1;
        bestFromBytes = std::min(bestFromBytes, Seconds(std::chrono::steady_clock::now() - t1));

        auto t2 = std::chrono::steady_clock::now();
        if (!ExpatParse(bytes, expat)) return 1;
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

    // Fresh processes, taken in turns so that both see the same load.
    char path[] = "/tmp/bench_markup.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
        std::fprintf(stderr, "cannot write the document file\n");
        return 1;
    }
    close(fd);
    FreshRun freshReader, freshExpat;
    double readerCpu = 1e9, expatCpu = 1e9;
    bool freshOk = true;
    for (int round = 0; round < rounds && freshOk; ++round) {
        FreshRun r, e;
        freshOk = RunFresh("reader", path, r) && RunFresh("expat", path, e);
        if (!freshOk) break;
        freshOk = r.elements == tally.elements && e.elements == tally.elements;
        if (r.seconds < freshReader.seconds) freshReader = r;
        if (e.seconds < freshExpat.seconds) freshExpat = e;
        readerCpu = std::min(readerCpu, r.cpuSeconds);
        expatCpu = std::min(expatCpu, e.cpuSeconds);
    }
    unlink(path);
    if (!freshOk) {
        std::fprintf(stderr, "a fresh process failed or counted other elements\n");
        return 1;
    }
    std::printf("MarkupDocument, fresh process:       %.3f s (file read, decoded, parsed, walked; peak %.0f MiB, %ld page faults)\n",
                freshReader.seconds, double(freshReader.maxRssKiB) / 1024, freshReader.minorFaults);
    std::printf("expat, fresh process:                %.3f s (file read and parsed; peak %.0f MiB, %ld page faults)\n",
                freshExpat.seconds, double(freshExpat.maxRssKiB) / 1024, freshExpat.minorFaults);
    std::printf("ratio (MarkupDocument / expat), fresh process: %.2f (CPU time %.3f s and %.3f s, ratio %.2f)\n",
                freshReader.seconds / freshExpat.seconds, readerCpu, expatCpu, readerCpu / expatCpu);

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
