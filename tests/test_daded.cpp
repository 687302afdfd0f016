// The database handle: opening, closing, version and build texts.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "vexal.h"

TEST(Database, OpenExWithoutConfigIsInMemory) {
    vx_daded *db = nullptr;
    EXPECT_EQ(vx_daded_open_ex(nullptr, nullptr), VX_ERR_INVALID_ARG);
    ASSERT_EQ(vx_daded_open_ex(nullptr, &db), VX_OK);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(vx_daded_is_open(db), 1);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
    EXPECT_EQ(vx_daded_is_open(nullptr), 0);
    EXPECT_EQ(vx_daded_close(nullptr), VX_ERR_INVALID_ARG);
}

TEST(Database, OpenWithFlagsAndSmallArena) {
    vx_daded *db = nullptr;
    ASSERT_EQ(vx_daded_open(nullptr, VX_OPEN_CREATE, &db), VX_OK);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
    vx_str empty = {nullptr, 0};
    ASSERT_EQ(vx_daded_open(&empty, 0, &db), VX_OK);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
    vx_db_config config;
    memset(&config, 0, sizeof(config));
    config.arena_size = 1000;  // raised to the arena's 64 KiB minimum block
    ASSERT_EQ(vx_daded_open_ex(&config, &db), VX_OK);
    EXPECT_EQ(vx_daded_close(db), VX_OK);
}

TEST(Database, VersionAndBuildTexts) {
    vx_str v = vx_daded_version();
    EXPECT_EQ(std::string(v.data, v.len), "Vexal DadED 0.1.32");
    EXPECT_EQ(vx_daded_version().data, v.data);

    vx_str info = vx_daded_build_info();
    ASSERT_EQ(info.len, 81u);
    EXPECT_EQ(strlen(info.data), 81u);
    std::string text(info.data, info.len);
    EXPECT_EQ(text.rfind("Vexal DadED 0.1.32\nPlatform: Linux\nCompiler: GCC\nBuild Date: ", 0), 0u);
    // "Mmm dd yyyy hh:mm:ss": fixed width, colons in place.
    std::string date = text.substr(61);
    ASSERT_EQ(date.size(), 20u);
    EXPECT_EQ(date[3], ' ');
    EXPECT_EQ(date[14], ':');
    EXPECT_EQ(date[17], ':');
    EXPECT_EQ(vx_daded_build_info().data, info.data);
}

TEST(Database, SettersForwardToTheRuntime) {
    vx_daded_set_log_callback(nullptr);
    vx_daded_set_simd_enabled(1);
    EXPECT_EQ(vx_daded_is_simd_available(), 0);
}
