// Shared fixture of the verifier's suites: a fresh simulated SEP, the driver opened through it,
// and no broken protocol rule left behind.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "DX_VOS.h"
#include "FVOS.h"
#include "NVS.h"
#include "SEPDriver.h"
#include "SepSim.h"

namespace septest {

inline std::filesystem::path MakeTempDir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (c == '/') c = '_';
    std::filesystem::path dir = std::filesystem::path(ZELK_TEST_WORK_DIR) / "sepmw" /
                                (name + "." + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

inline std::vector<uint32_t> Words(const std::vector<uint8_t>& bytes, size_t from = 0) {
    std::vector<uint32_t> out;
    for (size_t i = from; i + 4 <= bytes.size(); i += 4) out.push_back(Le32(&bytes[i]));
    return out;
}

inline long OpenDescriptorCount() {
    return long(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                              std::filesystem::directory_iterator()));
}

// Standard input stays closed while this lives, so that the next descriptor opened is 0.
class StandardInputClosed {
public:
    StandardInputClosed() : saved_(::dup(0)) { ::close(0); }
    ~StandardInputClosed() {
        ::dup2(saved_, 0);
        ::close(saved_);
    }
    StandardInputClosed(const StandardInputClosed&) = delete;
    StandardInputClosed& operator=(const StandardInputClosed&) = delete;

private:
    int saved_;
};

class SepTest : public ::testing::Test {
protected:
    void SetUp() override {
        sepsim::Reset();
        ASSERT_EQ(DX_CC_HostInit(), 0u);
        sepsim::Reset();
    }
    void TearDown() override {
        if (g_StartMapAddress != nullptr) SEPDriver_Unlock();
        EXPECT_THAT(sepsim::Violations(), ::testing::IsEmpty());
    }
};

}  // namespace septest
