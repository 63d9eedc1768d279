#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "FastbootCommands.h"
#include "PackageFiles.h"


TEST(FastbootRules, FailureLine)
{
    struct Case { const wchar_t* output; bool exactCase; bool fails; const wchar_t* line; };
    const Case cases[] = {
        {L"FAILED (remote: command not allowed)\r\nfinished. total time: 0.001s\r\n", false, true,
         L"FAILED (remote: command not allowed)"},
        {L"sending 'all'...\nFAILED (remote: 'bad image')\nfastboot: error: Command failed\n", false,
         true, L"FAILED (remote: 'bad image')"},
        {L"fastboot: error: cannot load 'x.img'\n", false, true, L"error: cannot load 'x.img'"},
        {L"fastboot: error: cannot load 'x.img'\n", true, false, L""},
        {L"failed to write\n", false, true, L"failed to write"},
        {L"failed to write\n", true, false, L""},
        {L"an ERROR first, then FAILED late\n", false, true, L"FAILED late"},
        {L"OKAY [  0.010s]\nfinished. total time: 0.010s\n", false, false, L""},
        {L"all done, FAILED at the end without line feed  \t", true, true, L"FAILED at the end without line feed"},
        {L"", false, false, L""},
    };
    for (const Case& c : cases) {
        std::wstring line;
        EXPECT_EQ(FindFastbootFailure(c.output, c.exactCase, line), c.fails) << c.output;
        EXPECT_EQ(line, c.line) << c.output;
    }
}

namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Each byte one character, as the tools' output is read.
std::wstring Widen(const std::string& bytes)
{
    std::wstring text;
    for (unsigned char c : bytes) text += wchar_t(c);
    return text;
}

// The last line that holds more than white space, over the whole text: without its leading white
// space, cut at the line limit, without its trailing white space.
std::wstring LastLineOfText(const std::string& text)
{
    std::string last;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        size_t from = start;
        while (from < end && IsBlank(text[from])) ++from;
        std::string line = text.substr(from, std::min(end - from, kOutputLineLimit));
        while (!line.empty() && IsBlank(line.back())) line.pop_back();
        if (!line.empty()) last = line;
        start = end + 1;
    }
    return Widen(last);
}

struct ScanResult {
    bool fails;
    std::wstring line;
    std::wstring last;
};

ScanResult Scan(const std::string& output, const std::vector<size_t>& cuts)
{
    OutputFailureScan scan;
    size_t at = 0;
    for (size_t cut : cuts) {
        scan.Add(output.data() + at, cut - at);
        at = cut;
    }
    scan.Add(output.data() + at, output.size() - at);
    ScanResult result;
    result.fails = scan.Failure(result.line);
    result.last = scan.LastLine();
    return result;
}

// Outputs of a script that a whole-text rule and a stream may judge apart.
std::vector<std::string> StreamOutputs()
{
    std::vector<std::string> outputs = {
        "FAILED (remote: command not allowed)\r\nfinished. total time: 0.001s\r\n",
        "fastboot: error: cannot load 'x.img'\n",
        "an ERROR first, then FAILED late\n",
        "an eRRor first, then faILed late",
        "OKAY [  0.010s]\nfinished. total time: 0.010s\n",
        "FAILE\nD ERRO R\n",
        "xxFAILFAILED!\n",
        "",
        " \t\r\n\n  ",
        "  leading blanks\t \r\n\r\n",
        "one\ntwo\r\n   \n",
        "no line feed at the end",
        "bytes \xff\xa0 above ASCII \xa0\n",
    };
    // 9,521 bytes whose last line is followed by 4,500 blanks.
    std::string progress;
    for (int i = 0; progress.size() < 4900; ++i)
        progress += "Sending sparse 'system' " + std::to_string(i) + "/40 (131068 KB)   OKAY [  3.215s]\r\n";
    std::string blanks;
    for (int i = 0; blanks.size() < 4500; ++i) blanks += (i % 3 == 2) ? "\r\n" : "  ";
    blanks.resize(4500, ' ');
    progress.resize(9521 - 4500, 'x');
    progress.replace(progress.size() - 40, 40, "\r\nsh: 1: ./fastboot: Permission denied\r\n");
    outputs.push_back(progress + blanks);
    // Keyword lines and last lines that reach past the limit, some with white space across it.
    const std::string longText(kOutputLineLimit + 100, 'r');
    outputs.push_back("sending\nFAILED (remote: " + longText + ")\r\nfinished\n");
    outputs.push_back("flash: error " + std::string(kOutputLineLimit - 12, 'e') + "     tail\n   \n");
    outputs.push_back("last " + std::string(kOutputLineLimit - 7, 'l') + "   tail");
    outputs.push_back(std::string(kOutputLineLimit + 10, ' ') + "after blanks" + std::string(200, '.') + "\n");
    outputs.push_back("ERROR " + longText + "\nFailed " + longText);
    return outputs;
}

}  // namespace

// The scan over a stream finds what FindFastbootFailure and the whole-text last-line rule find,
// however the bytes are cut into pieces: cut once at every place, cut into pieces of equal sizes,
// and cut at random places.
TEST(FastbootRules, FailureScanOfAStream)
{
    std::mt19937 random(26);
    for (const std::string& output : StreamOutputs()) {
        const std::string shown = output.substr(0, 60);
        std::wstring line;
        const bool fails = FindFastbootFailure(Widen(output), false, line);
        const ScanResult expected{fails, fails ? line : L"", LastLineOfText(output)};
        auto check = [&](const std::vector<size_t>& cuts, const std::string& how) {
            const ScanResult got = Scan(output, cuts);
            if (got.fails == expected.fails && got.line == expected.line && got.last == expected.last)
                return true;
            ADD_FAILURE() << shown << " (" << output.size() << " bytes) " << how << ": fails " << got.fails
                          << ", line of " << got.line.size() << ", last line of " << got.last.size()
                          << " characters instead of " << expected.last.size();
            return false;
        };
        bool same = true;
        for (size_t cut = 0; cut <= output.size() && same; ++cut)
            same = check({cut}, "cut at " + std::to_string(cut));
        std::vector<size_t> pieces;
        for (size_t piece = 1; piece <= std::min<size_t>(output.size(), 64); ++piece)
            pieces.push_back(piece);
        for (size_t piece : {1000, 1024, 4095, 4096, 4097, 8192, 65536}) pieces.push_back(piece);
        for (size_t piece : pieces) {
            std::vector<size_t> cuts;
            for (size_t at = piece; at < output.size(); at += piece) cuts.push_back(at);
            if (!check(cuts, "in pieces of " + std::to_string(piece))) break;
        }
        for (int round = 0; round < 50 && !output.empty(); ++round) {
            std::vector<size_t> cuts;
            for (int i = 0; i < 8; ++i) cuts.push_back(random() % (output.size() + 1));
            std::sort(cuts.begin(), cuts.end());
            if (!check(cuts, "cut at random places")) break;
        }
    }
}

// The outputs: the last line after thousands of blanks, and a keyword line past the limit,
// as the operator sees them whatever the reads.
TEST(FastbootRules, FailureScanKeepsTheLastLineAndCutsLongLinesAtTheLimit)
{
    const std::vector<std::string> outputs = StreamOutputs();
    const std::string& progress = outputs[13];
    ASSERT_EQ(progress.size(), 9521u);
    for (size_t piece : {1, 1024, 4096, 65536}) {
        OutputFailureScan scan;
        for (size_t at = 0; at < progress.size(); at += piece)
            scan.Add(progress.data() + at, std::min(piece, progress.size() - at));
        EXPECT_EQ(scan.LastLine(), L"sh: 1: ./fastboot: Permission denied") << "in pieces of " << piece;
    }

    const std::string longText(kOutputLineLimit + 100, 'r');
    std::wstring line;
    ASSERT_TRUE(FindFastbootFailure(L"FAILED (remote: " + std::wstring(longText.begin(), longText.end()) + L")\n",
                                    false, line));
    EXPECT_EQ(line, L"FAILED (remote: " + std::wstring(kOutputLineLimit - 16, L'r'));
    // Cut first, then the white space before the cut goes.
    ASSERT_TRUE(FindFastbootFailure(L"ERROR" + std::wstring(kOutputLineLimit - 7, L'e') + L"    tail", false, line));
    EXPECT_EQ(line, L"ERROR" + std::wstring(kOutputLineLimit - 7, L'e'));

    OutputFailureScan scan;
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 17; ++i) scan.Add(block.data(), block.size());
    EXPECT_FALSE(scan.Failure(line));
    EXPECT_EQ(scan.LastLine(), std::wstring(kOutputLineLimit, L'x'));
    const std::string late = "\nflash: FAILED (remote: late)\r\nfinished\n  \n";
    scan.Add(late.data(), late.size());
    EXPECT_TRUE(scan.Failure(line));
    EXPECT_EQ(line, L"FAILED (remote: late)");
    EXPECT_EQ(scan.LastLine(), L"finished");
    const std::string blanks(3 << 20, ' ');
    scan.Add(blanks.data(), blanks.size());
    EXPECT_EQ(scan.LastLine(), L"finished") << "after megabytes of blanks";
}

TEST(FastbootRules, BuildVersion)
{
    struct Case { const wchar_t* output; const wchar_t* version; };
    const Case cases[] = {
        {L"...\n(bootloader) 1.2.3.4\nOKAY [ 0.010s]\nfinished. total time: 0.010s\n", L"1.2.3.4"},
        {L"                    (bootloader) 1.2.3.4\nOKAY [  0.048s]\nFinished. Total time: 0.048s\n",
         L"1.2.3.4"},
        {L"(bootloader)   V2.0 \nOKAY\n", L"V2.0"},
        {L"< waiting for device >\n(bootloader) 1.0\nOKAY [ 0.010s]\n", L"< waiting for device >\n(bootloader) 1.0"},
        {L"...   9.9\n", L"9.9\n"},
        {L"", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseBuildVersion(c.output), c.version) << c.output;
}

TEST(FastbootRules, ListedDevices)
{
    const std::wstring listing = L"SERIAL1\tfastboot\nSERIAL12\tfastboot\nOTHER\toffline\r\nTWICE\tdevice\nTWICE\tunauthorized";
    EXPECT_EQ(CountListedDevices(listing, L"SERIAL1"), 1);
    EXPECT_EQ(CountListedDevices(listing, L"SERIAL12"), 1);
    EXPECT_EQ(CountListedDevices(listing, L"OTHER"), 1);
    EXPECT_EQ(CountListedDevices(listing, L"TWICE"), 2);
    EXPECT_EQ(CountListedDevices(listing, L"serial1"), 0);
    EXPECT_EQ(CountListedDevices(listing, L"SERIAL"), 0);
    EXPECT_EQ(CountListedDevices(L"", L"SERIAL1"), 0);
    EXPECT_EQ(CountListedDevices(L"List of devices attached\nABC\tdevice\n\n", L"ABC"), 1);
}

TEST(FastbootRules, SerialInFileNames)
{
    EXPECT_EQ(FileNameSafeSerial(L"ABC123"), L"ABC123");
    EXPECT_EQ(FileNameSafeSerial(L"tcp:1.2.3.4:5555"), L"tcp:1.2.3.4:5555");
    EXPECT_EQ(FileNameSafeSerial(L"a/b\\c\nd\x7f"), L"a_b_c_d_");
}
