// The three companion packages as built and as embedded: manifests, signatures, alignment,
// the helper inside them and the size limit.
#include "CompanionModels.h"
#include "Resources.h"

#include <gtest/gtest.h>
#include <unzip.h>

#include <cstdio>
#include <cstring>
#include <elf.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

struct Package {
    int id;
    const char* file;
    const char* name;
    const char* activity;  // empty: from the model (com.zelk.phoneinfo)
    const char* signer;    // certificate DN
    int helperMachine;     // EM_* of assets/PhoneInfoTest, 0: no helper
};

const Package kPackages[] = {
    {160, APK_160, "com.zelk.phoneinfo", "", "CN=Android Debug, O=Android, C=US", EM_ARM},
    {165, APK_165, "com.zelk.phoneinfo", "",
     "CN=Zelk Companion, OU=Companion test release, O=Zelk, C=TW", EM_386},
    {167, APK_167, "com.example.getimei", "com.example.getimei.MainActivity",
     "CN=Zelk Test Platform, OU=Test platform, O=Zelk, C=TW", 0},
};

std::string ModelOf(int id) {
    for (const CompanionModel& m : kCompanionModels)
        if (m.apkResourceId == id)
            return std::string(m.model, m.model + wcslen(m.model));
    return "";
}

std::string ActivityOf(const Package& p) {
    if (*p.activity)
        return p.activity;
    return "com.zelk.phoneinfo.PhoneInfoAPK_" + ModelOf(p.id) + "_Activity";
}

struct ToolRun {
    int status = -1;
    std::string output;
};

ToolRun Tool(const std::string& command) {
    ToolRun run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return run;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        run.output.append(chunk, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One entry of the package, or nothing when it has none of that name.
bool ReadEntry(const char* apk, const char* entry, std::string* content) {
    unzFile zip = unzOpen64(apk);
    if (!zip)
        return false;
    bool found = unzLocateFile(zip, entry, 1) == UNZ_OK && unzOpenCurrentFile(zip) == UNZ_OK;
    if (found) {
        content->clear();
        char chunk[8192];
        int n;
        while ((n = unzReadCurrentFile(zip, chunk, sizeof chunk)) > 0)
            content->append(chunk, static_cast<size_t>(n));
        found = n == 0;
        unzCloseCurrentFile(zip);
    }
    unzClose(zip);
    return found;
}

void PrintTo(const Package& p, std::ostream* os) {
    *os << "APK " << p.id;
}

class Packages : public ::testing::TestWithParam<Package> {};

std::string PackageName(const ::testing::TestParamInfo<Package>& info) {
    return "apk" + std::to_string(info.param.id);
}

INSTANTIATE_TEST_SUITE_P(Companion, Packages, ::testing::ValuesIn(kPackages), PackageName);

TEST_P(Packages, EmbeddedAsApkResourceWithinTheSizeLimit) {
    const unsigned char* data = nullptr;
    size_t size = 0;
    ASSERT_TRUE(plat::FindResource(L"APK", GetParam().id, &data, &size));
    EXPECT_LE(size, static_cast<size_t>(APK_SIZE_LIMIT));
    const std::string file = ReadFile(GetParam().file);
    ASSERT_EQ(size, file.size());
    EXPECT_EQ(std::memcmp(data, file.data(), size), 0);
    EXPECT_EQ(file.substr(0, 4), std::string("PK\x03\x04", 4));
}

TEST_P(Packages, Badging) {
    const Package& p = GetParam();
    ToolRun r = Tool(std::string(AAPT) + " dump badging '" + p.file + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    const bool phoneinfo = p.id != 167;
    EXPECT_NE(r.output.find(std::string("package: name='") + p.name +
                            "' versionCode='1' versionName='1.0'"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("sdkVersion:'8'"), std::string::npos);
    EXPECT_NE(r.output.find(phoneinfo ? "targetSdkVersion:'17'" : "targetSdkVersion:'21'"),
              std::string::npos);
    EXPECT_NE(r.output.find("launchable-activity: name='" + ActivityOf(p) + "'"),
              std::string::npos)
        << r.output;
    const std::string label = phoneinfo ? "PhoneInfoAPK_" + ModelOf(p.id) : "getimei";
    EXPECT_NE(r.output.find("application-label:'" + label + "'"), std::string::npos);
    const size_t permissions = r.output.find("uses-permission:");
    if (phoneinfo) {
        EXPECT_EQ(permissions, std::string::npos) << r.output;
    } else {
        EXPECT_NE(r.output.find("uses-permission: name='android.permission.READ_PHONE_STATE'"),
                  std::string::npos);
        EXPECT_EQ(r.output.find("uses-permission:", permissions + 1), std::string::npos);
    }
}

TEST_P(Packages, ManifestFlagsAndSharedUser) {
    const Package& p = GetParam();
    ToolRun r = Tool(std::string(AAPT) + " dump xmltree '" + p.file + "' AndroidManifest.xml");
    ASSERT_EQ(r.status, 0) << r.output;
    const bool phoneinfo = p.id != 167;
    EXPECT_NE(r.output.find("A: android:allowBackup(0x01010280)=(type 0x12)0xffffffff"),
              std::string::npos);
    EXPECT_EQ(r.output.find("A: android:debuggable(0x0101000f)=(type 0x12)0xffffffff") !=
                  std::string::npos,
              phoneinfo);
    const size_t shared = r.output.find("android:sharedUserId");
    if (phoneinfo) {
        EXPECT_EQ(shared, std::string::npos);
    } else {
        EXPECT_NE(r.output.find("android:sharedUserId(0x0101000b)=\"android.uid.phone\""),
                  std::string::npos)
            << r.output;
    }
    EXPECT_NE(r.output.find("A: android:name(0x01010003)=\"android.intent.action.MAIN\""),
              std::string::npos);
    EXPECT_NE(r.output.find("A: android:name(0x01010003)=\"android.intent.category.LAUNCHER\""),
              std::string::npos);
}

TEST_P(Packages, SignedWithItsKeyAndAligned) {
    const Package& p = GetParam();
    ToolRun verify = Tool(std::string(APKSIGNER) + " verify --print-certs '" + p.file + "'");
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find(std::string("Signer #1 certificate DN: ") + p.signer + "\n"),
              std::string::npos)
        << verify.output;
    EXPECT_EQ(verify.output.find("Signer #2"), std::string::npos);
    ToolRun align = Tool(std::string(ZIPALIGN) + " -c 4 '" + p.file + "'");
    EXPECT_EQ(align.status, 0) << align.output;
}

TEST_P(Packages, HelperMachineType) {
    const Package& p = GetParam();
    std::string helper;
    const bool present = ReadEntry(p.file, "assets/PhoneInfoTest", &helper);
    ASSERT_EQ(present, p.helperMachine != 0);
    if (!present)
        return;
    ASSERT_GE(helper.size(), sizeof(Elf32_Ehdr));
    Elf32_Ehdr header;
    std::memcpy(&header, helper.data(), sizeof header);
    EXPECT_EQ(std::memcmp(header.e_ident, ELFMAG, SELFMAG), 0);
    EXPECT_EQ(header.e_ident[EI_CLASS], ELFCLASS32);
    EXPECT_EQ(header.e_machine, p.helperMachine);
    EXPECT_EQ(header.e_type, ET_DYN);  // position-independent
    if (p.helperMachine == EM_ARM) {
        EXPECT_EQ(header.e_flags & EF_ARM_EABIMASK, static_cast<unsigned>(EF_ARM_EABI_VER5));
    }
    // static: no program interpreter
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf32_Phdr segment;
        const size_t at = header.e_phoff + static_cast<size_t>(i) * header.e_phentsize;
        ASSERT_LE(at + sizeof segment, helper.size());
        std::memcpy(&segment, helper.data() + at, sizeof segment);
        EXPECT_NE(segment.p_type, static_cast<Elf32_Word>(PT_INTERP));
    }
    // the shipped build: the device's own paths, no test prefix
    const char* channel = p.helperMachine == EM_ARM ? "/dev/smd7" : "/dev/gsmtty19";
    EXPECT_NE(helper.find(std::string("\0", 1) + channel + '\0'), std::string::npos);
}

TEST_P(Packages, ActivityClassInTheDex) {
    const Package& p = GetParam();
    std::string dex;
    ASSERT_TRUE(ReadEntry(p.file, "classes.dex", &dex));
    EXPECT_EQ(dex.substr(0, 4), "dex\n");
    std::string descriptor = ActivityOf(p);
    descriptor.insert(descriptor.begin(), 'L');
    descriptor += ';';
    for (char& c : descriptor)
        if (c == '.')
            c = '/';
    EXPECT_NE(dex.find(descriptor), std::string::npos) << descriptor;
    // only package 165 also copies ReadICCID
    EXPECT_EQ(dex.find("/data/data/com.zelk.phoneinfo/ReadICCID") != std::string::npos,
              p.id == 165);
}

TEST(CompanionModels, OneModelForEachPackage) {
    EXPECT_EQ(std::size(kCompanionModels), 3u);
    for (int id : {160, 165, 167})
        EXPECT_FALSE(ModelOf(id).empty()) << id;
    EXPECT_NE(ModelOf(160), ModelOf(165));
}

TEST(PackageSizeLimit, LargerPackageFailsTheBuildStep) {
    const fs::path dir = fs::path(ZELK_TEST_WORK_DIR) / ("size." + std::to_string(getpid()));
    fs::create_directories(dir);
    for (int extra : {0, 1}) {
        const fs::path apk = dir / std::string("p").append(std::to_string(extra)).append(".apk");
        std::ofstream(apk, std::ios::binary) << std::string(APK_SIZE_LIMIT + extra, 'x');
        ToolRun r = Tool(std::string(CMAKE_COMMAND) + " -DAPK=" + apk.string() +
                         " -DLIMIT=" + std::to_string(APK_SIZE_LIMIT) + " -P " + CHECK_SIZE_SCRIPT);
        EXPECT_EQ(r.status == 0, extra == 0) << r.output;
        EXPECT_EQ(fs::exists(apk), extra == 0);  // an oversized package is not left behind
    }
    fs::remove_all(dir);
}

}  // namespace
