// The library's identity, its export table and the variant builds the loader's tests rely on.
#include "ReflibLibrary.h"

#include <gtest/gtest.h>

#include <string>

using namespace reflib_test;

namespace
{
int CountBound(const CLibrary& lib)
{
    int bound = 0;
#define REFLIB_TEST_COUNT(group, name, ret, params) bound += lib.name != nullptr ? 1 : 0;
    VELMAR_LIBRARY_ENTRY_POINTS(REFLIB_TEST_COUNT)
#undef REFLIB_TEST_COUNT
    return bound;
}

CLibrary Variant(const wchar_t* file, const char* prefix)
{
    return CLibrary((ProgramDirectory() / L"variants" / file).wstring(), prefix);
}
} // namespace

TEST(ReflibExports, MainLibraryExportsEveryEntryPointAndReportsItsPrefix)
{
    const auto& lib = Lib();
    EXPECT_EQ(velmar::lib::kEntryPointCount, CountBound(lib));
    ASSERT_NE(nullptr, lib.GetProcessInfo);
    const VelmarProcessInfo* info = lib.GetProcessInfo();
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(sizeof(VelmarProcessInfo), info->size);
    EXPECT_STREQ("orvane_", info->prefix);
    EXPECT_STREQ(lib.GetVersion(), info->version);
    EXPECT_EQ(1, lib.GetAudioInputCount());
    EXPECT_EQ(1, lib.GetAudioOutputCount());
    EXPECT_EQ(1, lib.GetChannelCount());
    EXPECT_EQ(48000, lib.GetSampleRate());
    EXPECT_EQ(480, lib.GetChunkSizeInFrames());
}

TEST(ReflibExports, VariantsLeaveOutExactlyWhatTheyAreNamedFor)
{
    for (const wchar_t* file : {L"velmar.tessel.cl.dll", L"velmar.unknown.cl.dll"})
    {
        const CLibrary tessel = Variant(file, "tessel_");
        EXPECT_EQ(nullptr, tessel.GetProcessInfo);
        EXPECT_EQ(velmar::lib::kEntryPointCount, CountBound(tessel));
        EXPECT_EQ(nullptr, ::GetProcAddress(tessel.module, "orvane_GetVersion"));
    }

    const CLibrary nostop = Variant(L"velmar.nostop.cl.dll", "orvane_");
    EXPECT_EQ(nullptr, nostop.Webserver_Stop);
    EXPECT_EQ(nullptr, nostop.Webserver_Status);
    EXPECT_NE(nullptr, nostop.Webserver_tcp);
    EXPECT_NE(nullptr, nostop.Webserver_tcp2);
    EXPECT_NE(nullptr, nostop.Webserver);
    EXPECT_EQ(velmar::lib::kEntryPointCount - 2, CountBound(nostop));

    const CLibrary noplanar = Variant(L"velmar.noplanar.cl.dll", "orvane_");
    EXPECT_EQ(nullptr, noplanar.StereoToMono_Planar);
    EXPECT_NE(nullptr, noplanar.MonoToStereo_Planar);
    EXPECT_EQ(velmar::lib::kEntryPointCount - 1, CountBound(noplanar));

    const CLibrary noinit3 = Variant(L"velmar.noinit3.cl.dll", "orvane_");
    EXPECT_EQ(nullptr, noinit3.InitProcess3);
    EXPECT_EQ(velmar::lib::kEntryPointCount - 1, CountBound(noinit3));

    const CLibrary rate = Variant(L"velmar.rate44k.cl.dll", "orvane_");
    EXPECT_EQ(velmar::lib::kEntryPointCount, CountBound(rate));
    EXPECT_EQ(44100, rate.GetSampleRate());
    ASSERT_NE(nullptr, rate.GetProcessInfo);
    EXPECT_STREQ("orvane_", rate.GetProcessInfo()->prefix);
}
