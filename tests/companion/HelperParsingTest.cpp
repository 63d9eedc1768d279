// The helper's parsing of the identity files at the edges of a line: the x86 test build, and the
// same sources built for the host under AddressSanitizer, which reports any read past a line.
#include "HelperRun.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace companion_test;

namespace {

// The helper reads lines of at most 255 characters: the first line is cut there, after an "A".
const std::string kOverlong = std::string(254, ' ') + "A\n";

TEST(HelperParsing, AddressesAfterALineThatEndsInsideAnAddress) {
    struct Case {
        const char* what;
        const char* file;
        std::string content;
        const char* item;
        const char* output;
    } cases[] = {
        {"WiFi", "data/zelkdata/mac.txt",
         kOverlong + "00:11:22:33:44:55\n" + std::string(253, ' ') + "AB\n" +
             "001122334456\n00:11:22:33:44:57\n00:11:22:33:44:5\n00:11:22:33:44:58",
         "3", "00:11:22:33:44:55\r\n00:11:22:33:44:56\r\n00:11:22:33:44:57\r\n00:11:22:33:44:58\r\n"},
        {"Bluetooth", "data/zelkdata/bd_addr.conf", kOverlong + "bd_addr=00:1a:7D:da:71:13\n", "2",
         "00:1A:7D:DA:71:13\r\n"},
    };
    const std::vector<std::string> programs = {X86Build().program, PHONEINFO_ASAN};
    for (const Case& c : cases) {
        for (const std::string& program : programs) {
            WorkDir work;
            work.Write(c.file, c.content);
            HelperResult r = program == X86Build().program ? RunHelper(X86Build(), work.path(), {c.item, "0"})
                                                           : RunProgram({program, c.item, "0"}, work.path());
            EXPECT_EQ(r.output, c.output) << c.what << ", " << program;
            EXPECT_EQ(r.status, 0) << c.what << ", " << program;
        }
    }
}

}  // namespace
