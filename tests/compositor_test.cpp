/* The compositor is recognised by its program name. */
#include <gtest/gtest.h>

#include "process_util.h"

static std::string ProbeAs(const std::string &sArgv0) {
    std::string sOutput;
    EXPECT_EQ(0, RunProgram(TestBinaryDir() + "/compositor_probe", sArgv0, {}, &sOutput)) << sArgv0;
    return sOutput;
}

TEST(IsCompositorTest, SurfaceflingerAndSystemServerAreTheCompositor) {
    for (const char *pszName :
         {"surfaceflinger", "/system/bin/surfaceflinger", "system_server", "/some/deep/path/system_server"}) {
        EXPECT_EQ("compositor=1 again=1 connect_flags=1\n", ProbeAs(pszName)) << pszName;
    }
}

TEST(IsCompositorTest, OtherNamesAreNot) {
    for (const char *pszName : {"surfaceflinger2", "/system/bin/SurfaceFlinger", "system_server_x", "surfaceflinger/",
                                "/system/bin/app_process", "xsurfaceflinger"}) {
        EXPECT_EQ("compositor=0 again=0 connect_flags=0\n", ProbeAs(pszName)) << pszName;
    }
}

TEST(IsCompositorTest, OnlyTheFirst64BytesOfTheNameCount) {
    /* The name is cut at 64 bytes: a path whose 64th byte ends "surfaceflinger" still counts. */
    std::string sPrefix(64 - 15, 'd');
    EXPECT_EQ("compositor=1 again=1 connect_flags=1\n", ProbeAs(sPrefix + "/surfaceflinger" + "-suffix"));
    EXPECT_EQ("compositor=0 again=0 connect_flags=0\n", ProbeAs(sPrefix + "/surfaceflinge"));
}
