#include "core/Paths.h"

#include <gtest/gtest.h>

using namespace vrln::core;

TEST(DirectoryPart, EndsAtTheLastBackslashOrColon) {
    EXPECT_EQ(DirectoryPart("C:\\Tools\\VrlnSchd.exe"), "C:\\Tools\\");
    EXPECT_EQ(DirectoryPart("C:VrlnSchd.exe"), "C:");
    EXPECT_EQ(DirectoryPart("VrlnSchd.exe"), "");
    EXPECT_EQ(FileNamePart("C:\\Tools\\VrlnSchd.exe"), "VrlnSchd.exe");
    EXPECT_EQ(FileNamePart("C:name"), "name");
}

TEST(InstanceMutexBaseName, ReplacesEveryBackslash) {
    EXPECT_EQ(InstanceMutexBaseName("VrlnSchd.exe"), "APPLICATION-VrlnSchd.exe");
    EXPECT_EQ(InstanceMutexBaseName("Vorlane 98"), "APPLICATION-Vorlane 98");
    EXPECT_EQ(InstanceMutexBaseName("a\\b\\c"), "APPLICATION-a_b_c");
}

TEST(HomePageOf, IsTheWebFilesDirectoryWithHomeHtm) {
    EXPECT_EQ(HomePageOf("C:\\Sites\\Example\\site.vrl"), "C:\\Sites\\Example\\_home.htm");
    EXPECT_EQ(HomePageOf(""), "_home.htm");
    EXPECT_EQ(HomePageOf("bare.vrl"), "_home.htm");
}
