#include "Resources.h"

#include <gtest/gtest.h>

#include <string>

TEST(Resources, FoundByTypeAndIdOrName) {
    const unsigned char* data = nullptr;
    size_t size = 0;
    ASSERT_TRUE(plat::FindResource(L"APK", 160, &data, &size));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), "abc");
    ASSERT_TRUE(plat::FindResource(L"BITMAP", L"start", &data, &size));
    EXPECT_EQ(size, 3u);
    ASSERT_TRUE(plat::FindResource(L"APK", 161, &data, &size));
    EXPECT_EQ(size, 0u);
}

TEST(Resources, MissingTypeIdOrName) {
    const unsigned char* data = nullptr;
    size_t size = 0;
    EXPECT_FALSE(plat::FindResource(L"APK", 165, &data, &size));
    EXPECT_FALSE(plat::FindResource(L"BITMAP", 160, &data, &size));
    EXPECT_FALSE(plat::FindResource(L"APK", 0, &data, &size));
    EXPECT_FALSE(plat::FindResource(L"BITMAP", L"", &data, &size));
    EXPECT_FALSE(plat::FindResource(L"ICON", L"start", &data, &size));
}
