// Process creation, persistence of the settings across creations, the update loop, parameters, and
// safety against unknown handles and null pointers.
#include "ReflibLibrary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <thread>

using namespace reflib_test;

namespace
{
nlohmann::json Get(const CProcessRun& run, const std::string& what)
{
    return nlohmann::json::parse(run.Json("{\"get\":" + what + "}"))["get"];
}

// Polls (bounded) until `done` holds.
template <typename F> bool Eventually(F done)
{
    for (int i = 0; i < 200; ++i)
    {
        if (done())
        {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return done();
}
} // namespace

TEST(ReflibProcess, SettingsSurviveTheNextCreation)
{
    CTempDirectory dir;
    {
        CProcessRun run(dir.Utf8());
        std::int32_t status = -1;
        run.Json(
            R"({"set":{"processorname":"Studio \"A\" \\ Ünïcode","gain_db":-3.5,"filter_type":"lowpass"}})",
            &status);
        ASSERT_EQ(0, status);
        EXPECT_EQ(0, Lib().SaveState(run.Handle()));
        const auto stored = nlohmann::json::parse(ReadFileText(dir.Path() / "state.json"));
        EXPECT_EQ("Studio \"A\" \\ Ünïcode", stored["processorname"]);
    }
    CProcessRun again(dir.Utf8());
    const auto values = Get(again, R"(["processorname","gain_db","filter_type","delay_frames"])");
    EXPECT_EQ("Studio \"A\" \\ Ünïcode", values["processorname"]);
    EXPECT_EQ(-3.5, values["gain_db"]);
    EXPECT_EQ("lowpass", values["filter_type"]);
    EXPECT_EQ(0, values["delay_frames"]);
}

TEST(ReflibProcess, UpdateLoopStoresChangesWithoutSaveState)
{
    CTempDirectory dir;
    CProcessRun run(dir.Utf8());
    run.Json(R"({"set":{"processorname":"looped"}})");
    EXPECT_TRUE(Eventually(
        [&]
        {
            const auto text = ReadFileText(dir.Path() / "state.json");
            return text.find("looped") != std::string::npos;
        }));
}

TEST(ReflibProcess, ChangesMadeJustBeforeExitAreNotLost)
{
    CTempDirectory dir;
    const auto& lib = Lib();
    const VelmarHandle process = lib.InitProcess2("a", "b", "c", "d", dir.Utf8().c_str(), 0);
    ASSERT_NE(0, process);
    const VelmarHandle client = lib.NewClient(process);
    std::int32_t status = -1;
    lib.FreeJsonAnswer(lib.ProcessJson(client, R"({"set":{"delay_frames":12}})", &status));
    ASSERT_EQ(0, status);
    lib.DeleteClient(client);
    lib.ExitProcess(process); // no update loop ever ran
    CProcessRun again(dir.Utf8());
    EXPECT_EQ(12, Lib().GetEstimatedDelay(again.Handle()));
}

TEST(ReflibProcess, UnreadableStateFallsBackToDefaults)
{
    CTempDirectory dir;
    std::ofstream(dir.Path() / "state.json")
        << "{\"gain_db\": \"loud\", \"processorname\": \"kept\", \"x\": 1";
    CProcessRun run(dir.Utf8());
    EXPECT_EQ("", Get(run, "\"processorname\"")["processorname"]);
    std::ofstream(dir.Path() / "state.json")
        << "{\"gain_db\": \"loud\", \"processorname\": \"kept\", \"x\": 1}";
    CProcessRun second(dir.Utf8());
    const auto values = Get(second, R"(["processorname","gain_db"])");
    EXPECT_EQ("kept", values["processorname"]); // the good member of a partly bad file
    EXPECT_EQ(0, values["gain_db"]);
}

TEST(ReflibProcess, ParametersGiveDefaultsAndAreReadBack)
{
    const auto& lib = Lib();
    const VelmarHandle parameters = lib.NewParameters();
    ASSERT_NE(0, parameters);
    EXPECT_EQ(0, lib.SetParameter(parameters, "processorname", "from parameters"));
    EXPECT_EQ(0, lib.SetParameter(parameters, "gain_db", "-12"));
    EXPECT_EQ(0, lib.SetParameter(parameters, "vendor.thing", "x"));
    EXPECT_EQ(-1, lib.SetParameter(parameters, nullptr, "x"));
    EXPECT_EQ(-1, lib.SetParameter(parameters + 1000, "a", "x"));
    const char* value = lib.GetParameter(parameters, "gain_db");
    ASSERT_NE(nullptr, value);
    EXPECT_STREQ("-12", value);
    lib.FreeParameterValue(value);
    EXPECT_EQ(nullptr, lib.GetParameter(parameters, "missing"));
    lib.FreeParameterValue("not ours"); // ignored

    CTempDirectory dir;
    {
        CProcessRun run(dir.Utf8(), parameters);
        const auto values = Get(run, R"(["processorname","gain_db"])");
        EXPECT_EQ("from parameters", values["processorname"]);
        EXPECT_EQ(-12, values["gain_db"]);
    }
    lib.FreeParameters(parameters);
    EXPECT_EQ(nullptr, lib.GetParameter(parameters, "gain_db"));
    EXPECT_EQ(0, lib.InitProcess(dir.Utf8().c_str(), parameters)); // freed handle
}

TEST(ReflibProcess, CreationChecksItsArguments)
{
    const auto& lib = Lib();
    CTempDirectory dir;
    EXPECT_EQ(0, lib.InitProcess3("", "", "", "", nullptr, 0, 480));
    EXPECT_EQ(0, lib.InitProcess3("", "", "", "", dir.Utf8().c_str(), 0, 333));
    const VelmarHandle small =
        lib.InitProcess3(nullptr, nullptr, nullptr, nullptr, dir.Utf8().c_str(), 0, 240);
    ASSERT_NE(0, small);
    EXPECT_EQ(240, lib.GetProcessChunkFrames(small));
    EXPECT_EQ(240 * 8, lib.GetMaxPacketFrame(small));
    lib.ExitProcess(small);
    std::int32_t sizes[8] = {};
    const std::int32_t count = lib.GetPossibleChunkSizeInFrames(sizes, 8);
    ASSERT_GE(count, 1);
    EXPECT_NE(std::find(sizes, sizes + count, 480), sizes + count);
    EXPECT_EQ(count, lib.GetPossibleChunkSizeInFrames(nullptr, 0));
    EXPECT_EQ(-1, lib.GetPossibleChunkSizeInFrames(nullptr, 4));

    // An empty storage directory: a process that stores nothing.
    const VelmarHandle memoryOnly = lib.InitProcess("", 0);
    ASSERT_NE(0, memoryOnly);
    EXPECT_EQ(0, lib.SaveState(memoryOnly));
    lib.ExitProcess(memoryOnly);
}

TEST(ReflibProcess, UpdateLoopReadinessAndAStopThatComesFirst)
{
    const auto& lib = Lib();
    const VelmarHandle process = lib.InitProcess("", 0);
    ASSERT_NE(0, process);
    EXPECT_EQ(-1, lib.WaitUpdateThreadReady(process, 30)); // not started
    lib.StopUpdateThread(process);
    // Started after the stop: returns at once instead of running forever.
    std::thread late([process] { Lib().StartUpdateThread(process, 0); });
    late.join();
    EXPECT_LT(lib.WaitUpdateThreadReady(process, 1000), 0);
    lib.ExitProcess(process);

    const VelmarHandle second = lib.InitProcess("", 0);
    std::thread loop([second] { Lib().StartUpdateThread(second, 0); });
    EXPECT_EQ(0, lib.WaitUpdateThreadReady(second, 5000));
    EXPECT_EQ(1, lib.StartUpdateThread(second, 0)); // one loop per process
    lib.StopUpdateThread(second);
    loop.join();
    lib.ExitProcess(second);
}

TEST(ReflibProcess, UnknownHandlesAndNullPointersAreRefused)
{
    const auto& lib = Lib();
    float buffer[480] = {};
    const float* inputs[1] = {nullptr};
    float* outputs[1] = {buffer};
    for (const VelmarHandle bad : {VelmarHandle{0}, VelmarHandle{-1}, VelmarHandle{0x7FFFFFFF12345678}})
    {
        EXPECT_EQ(-1, lib.ProcessAudio(bad, buffer, buffer));
        EXPECT_EQ(nullptr, lib.GetBufferIn(bad));
        EXPECT_EQ(nullptr, lib.GetBufferOut(bad));
        EXPECT_EQ(-1, lib.GetEstimatedDelay(bad));
        EXPECT_EQ(-1, lib.StartUpdateThread(bad, 0));
        EXPECT_LT(lib.WaitUpdateThreadReady(bad, 10), 0);
        EXPECT_EQ(-1, lib.SaveState(bad));
        EXPECT_EQ(0, lib.NewClient(bad));
        EXPECT_EQ(-1, lib.Webserver(18080, 0, bad));
        EXPECT_EQ(0, lib.Webserver_Status(bad));
        EXPECT_EQ(nullptr, lib.GetMetadataInfos(bad));
        EXPECT_EQ(-1, lib.SetInstanceBus(bad, 0));
        EXPECT_EQ(-1, lib.Webserver_SetAppHealth(bad, "x"));
        EXPECT_EQ(nullptr, lib.Webserver_GetAppHealth(bad));
        lib.StopUpdateThread(bad);
        lib.TerminateProcess(bad);
        lib.ExitProcess(bad);
        lib.Webserver_Stop(bad, 10);
        lib.DeleteClient(bad);
        lib.FreeParameters(bad);
        lib.FreeBus(bad);
        lib.SetInstanceTracingProcessActivity(bad, nullptr);
        lib.SetInstanceTracing(bad, nullptr, nullptr);
        std::int32_t status = 0;
        const char* answer = lib.ProcessJson(bad, "{\"get\":null}", &status);
        EXPECT_EQ(5, status);
        lib.FreeJsonAnswer(answer);
    }
    const VelmarHandle process = lib.InitProcess("", 0);
    EXPECT_EQ(-1, lib.ProcessAudio(process, nullptr, buffer));
    EXPECT_EQ(-1, lib.ProcessAudio_Planar(process, inputs, outputs));
    EXPECT_EQ(-1, lib.ProcessAudio_Planar(process, nullptr, outputs));
    inputs[0] = buffer;
    EXPECT_EQ(0, lib.ProcessAudio_Planar(process, inputs, outputs));
    EXPECT_EQ(-1, lib.SetMetadata(process, nullptr, "v"));
    const char* keys[2] = {"a", nullptr};
    const char* values[2] = {"1", "2"};
    EXPECT_EQ(-1, lib.SetMetadataMulti(process, keys, values, 2));
    EXPECT_EQ(-1, lib.SetMetadataMulti(process, nullptr, values, 1));
    EXPECT_EQ(-1, lib.SetMetadataMulti(process, keys, values, -1));
    lib.FreeJsonAnswer(nullptr);
    lib.FreeMetadataInfos("never handed out");
    lib.Webserver_FreeString(nullptr);
    lib.ExitProcess(process);
    lib.ExitProcess(process); // twice
    EXPECT_EQ(nullptr, lib.GetBufferIn(process));
}

TEST(ReflibProcess, MetadataPresetsBusAndTracingAreReported)
{
    const auto& lib = Lib();
    CTempDirectory dir;
    CTempDirectory presets;
    std::ofstream(presets.Path() / "warm.json") << "{}";
    std::ofstream(presets.Path() / "notes.txt") << "";
    const VelmarHandle parameters = lib.NewParameters();
    const std::uint8_t activity[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    lib.SetInstanceTracing(parameters, &activity, activity);
    CProcessRun run(dir.Utf8(), parameters);
    const VelmarHandle process = run.Handle();

    EXPECT_EQ(0, lib.SetMetadata(process, "device", "speakers"));
    const char* keys[2] = {"a", "b"};
    const char* values[2] = {"1", nullptr};
    EXPECT_EQ(2, lib.SetMetadataMulti(process, keys, values, 2));
    EXPECT_EQ(1, lib.SetPresetManager(process, presets.Utf8().c_str()));
    EXPECT_EQ(-1, lib.SetPresetManager(process, (presets.Utf8() + "\\missing").c_str()));
    std::ofstream(presets.Path() / "bright.json") << "{}";
    EXPECT_EQ(2, lib.PresetManager_InformChange(process));
    const VelmarHandle bus = lib.NewBus();
    ASSERT_NE(0, bus);
    EXPECT_EQ(0, lib.SetInstanceBus(process, bus));
    EXPECT_EQ(-1, lib.SetInstanceBus(process, bus + 12345));

    const char* infos = lib.GetMetadataInfos(process);
    ASSERT_NE(nullptr, infos);
    auto json = nlohmann::json::parse(infos);
    lib.FreeMetadataInfos(infos);
    EXPECT_EQ("speakers", json["metadata"]["device"]);
    EXPECT_EQ("", json["metadata"]["b"]);
    EXPECT_EQ((std::vector<std::string>{"bright", "warm"}), json["presets"].get<std::vector<std::string>>());
    EXPECT_EQ(bus, json["bus"].get<VelmarHandle>());
    EXPECT_EQ("0102030405060708090a0b0c0d0e0f10", json["trace_activity"]);

    const std::uint8_t next[16] = {0xAA};
    lib.SetInstanceTracingProcessActivity(process, next);
    lib.FreeBus(bus);
    infos = lib.GetMetadataInfos(process);
    json = nlohmann::json::parse(infos);
    lib.FreeMetadataInfos(infos);
    EXPECT_EQ("aa000000000000000000000000000000", json["trace_activity"]);
    EXPECT_EQ(0, json["bus"].get<VelmarHandle>());
    lib.FreeParameters(parameters);
}
