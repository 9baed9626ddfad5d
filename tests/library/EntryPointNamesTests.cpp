// The entry-point table written out by hand, so that a change to the shared list (which the loader, the
// reference library and the other tests all expand) cannot go unnoticed.
#include "EntryPointTable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

const std::vector<std::vector<std::string>> kGroups = {
    {"GetVersion",
     "GetChunkSizeInFrames",
     "GetChannelCount",
     "GetAudioInputCount",
     "GetAudioOutputCount",
     "GetSampleRate",
     "SetLoggerCallback",
     "SetLogSeverity",
     "NewParameters",
     "FreeParameters",
     "SetParameter",
     "GetParameter",
     "FreeParameterValue",
     "InitProcess",
     "InitProcess2",
     "TerminateProcess",
     "ExitProcess",
     "StartUpdateThread",
     "StopUpdateThread",
     "WaitUpdateThreadReady",
     "ProcessAudio",
     "ProcessAudio_Planar",
     "GetBufferIn",
     "GetBufferOut",
     "GetEstimatedDelay",
     "GetFormatName",
     "GetFormatFromName",
     "GetBytesFromFormat",
     "GetMaxPacketFrame",
     "AddAudio",
     "AddPadAudio",
     "GetOutputCount",
     "GetAudio",
     "AudioConvertFrom",
     "AudioConvertTo",
     "StereoToMono",
     "MonoToStereo",
     "AudioMonoFromLiveStereo",
     "AudioMonoToLiveStereo",
     "NewClient",
     "DeleteClient",
     "ProcessJson",
     "FreeJsonAnswer",
     "SaveState"},
    {"Webserver_tcp", "Webserver_tcp2", "Webserver", "Webserver_Stop", "Webserver_Status"},
    {"StereoToMono_Planar", "MonoToStereo_Planar"},
    {"SetMetadata", "GetMetadataInfos", "FreeMetadataInfos", "SetPresetManager", "PresetManager_InformChange",
     "GetPossibleChunkSizeInFrames", "GetProcessChunkFrames", "InitProcess3"},
    {"NewBus", "FreeBus", "SetInstanceBus"},
    {"SetMetadataMulti"},
    {"Webserver_SetAppHealth", "Webserver_GetAppHealth", "Webserver_FreeString"},
    {"SetInstanceTracing", "SetInstanceTracingProcessActivity"},
};

TEST(EntryPointNamesTest, TheSharedListIsTheWrittenTable)
{
    std::vector<std::size_t> sizes;
    std::vector<std::pair<int, std::string>> written;
    for (std::size_t group = 0; group < kGroups.size(); ++group)
    {
        sizes.push_back(kGroups[group].size());
        for (const std::string& name : kGroups[group])
        {
            written.emplace_back(static_cast<int>(group + 1), name);
        }
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{44, 5, 2, 8, 3, 1, 3, 2}));
    ASSERT_EQ(written.size(), 68u);

    std::vector<std::pair<int, std::string>> shared;
    for (const auto& entry : librarytest::ExpectedEntryPoints())
    {
        shared.emplace_back(entry.group, entry.name);
    }
    EXPECT_EQ(shared, written);
}

} // namespace
