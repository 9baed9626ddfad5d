#include "processing/LibraryInstance.h"

#include <gtest/gtest.h>

namespace
{

// A library without InitProcess3 whose chunk size is 480 frames.
struct OldLibrary
{
    static inline int processesCreated = 0;
    static VelmarHandle VELMAR_CALL NewParameters() { return 7; }
    static void VELMAR_CALL FreeParameters(VelmarHandle) {}
    static std::int32_t VELMAR_CALL ChunkSize() { return 480; }
    static VelmarHandle VELMAR_CALL InitProcess2(const char*, const char*, const char*, const char*,
                                                 const char*, VelmarHandle)
    {
        ++processesCreated;
        return 0;
    }
};

TEST(LibraryInstanceTest, WithoutInitProcess3AProcessIsOnlyCreatedForTheLibrarysOwnChunkSize)
{
    velmar::helper::CDynLoader loader;
    loader.NewParameters = &OldLibrary::NewParameters;
    loader.FreeParameters = &OldLibrary::FreeParameters;
    loader.GetChunkSizeInFrames = &OldLibrary::ChunkSize;
    loader.InitProcess2 = &OldLibrary::InitProcess2;
    velmar::CInstance instance(&loader);

    EXPECT_FALSE(instance.Init("host", "1", "key", "Desk", {}, 240));
    EXPECT_EQ(OldLibrary::processesCreated, 0);
    // The library then declines to create one (0): still no process, but it was asked.
    EXPECT_FALSE(instance.Init("host", "1", "key", "Desk", {}, 480));
    EXPECT_EQ(OldLibrary::processesCreated, 1);
}

} // namespace
