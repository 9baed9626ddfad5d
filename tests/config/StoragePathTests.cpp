#include "config/Config.h"
#include "config/StoragePath.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"
#include "LogCapture.h"
#include "RegistryTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace
{

const fs::path kMakerFolder = L"C:\\ProgramData\\VELMAR";
const fs::path kRoot = L"C:\\ProgramData\\VELMAR\\ORVANE.CL.drv";

HRESULT WINAPI FailingFolderPath(HWND, int, HANDLE, DWORD, LPWSTR)
{
    return E_FAIL;
}

int g_folder = -1;
DWORD g_flags = 0xFFFF;
HRESULT WINAPI RecordingFolderPath(HWND window, int folder, HANDLE token, DWORD flags, LPWSTR path)
{
    g_folder = folder;
    g_flags = flags;
    return ::SHGetFolderPathW(window, folder, token, flags, path);
}

class StoragePathTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testreg::DeleteProductKey();
        fs::remove_all(kMakerFolder);
        CLogCapture::Default().Clear();
    }
    void TearDown() override
    {
        fs::remove_all(kMakerFolder);
        testreg::DeleteProductKey();
    }
};

TEST_F(StoragePathTest, GetStoragePathJoinsTheCommonApplicationDataFolder)
{
    {
        CApiOverride guard(platform::Api().SHGetFolderPathW, &RecordingFolderPath);
        EXPECT_EQ(GetStoragePath(L"VELMAR", L"ORVANE.CL.drv").wstring(), kRoot.wstring());
    }
    EXPECT_EQ(g_folder, CSIDL_COMMON_APPDATA);
    EXPECT_EQ(g_flags, static_cast<DWORD>(SHGFP_TYPE_CURRENT));
    EXPECT_FALSE(fs::exists(kMakerFolder)); // it creates nothing

    CApiOverride guard(platform::Api().SHGetFolderPathW, &FailingFolderPath);
    EXPECT_TRUE(GetStoragePath(L"VELMAR", L"ORVANE.CL.drv").empty());
}

TEST_F(StoragePathTest, ConfigCreatesMakerFolderAndRootOnAFreshMachine)
{
    ASSERT_FALSE(fs::exists(kMakerFolder));
    const CConfig config;
    EXPECT_TRUE(fs::is_directory(kRoot));
    EXPECT_EQ(config.StorageRoot().wstring(), kRoot.wstring());
}

TEST_F(StoragePathTest, AnExistingRootIsLeftAsItIs)
{
    fs::create_directories(kRoot / L"ROOT#MEDIA#0000");
    std::ofstream(kRoot / L"ROOT#MEDIA#0000" / L"state.json") << "{}";
    const CConfig config;
    EXPECT_TRUE(fs::exists(kRoot / L"ROOT#MEDIA#0000" / L"state.json"));
}

TEST_F(StoragePathTest, NoApplicationDataFolderFailsTheConstruction)
{
    CApiOverride guard(platform::Api().SHGetFolderPathW, &FailingFolderPath);
    try
    {
        CConfig config;
        FAIL() << "no exception";
    }
    catch (const fs::filesystem_error& error)
    {
        EXPECT_NE(std::string(error.what()).find("create_directory"), std::string::npos) << error.what();
    }
    EXPECT_FALSE(testreg::KeyExists(testreg::kProductPath)); // the registry is not touched
}

TEST_F(StoragePathTest, PrepareInstanceStorageCreatesOrLogsAndGoesOn)
{
    CreateStorageRoot(kRoot);
    const fs::path directory = InstanceStoragePath(kRoot, L"ROOT#MEDIA#0000");
    EXPECT_EQ(directory.wstring(), kRoot.wstring() + L"\\ROOT#MEDIA#0000");

    PrepareInstanceStorage(directory);
    EXPECT_TRUE(fs::is_directory(directory));
    PrepareInstanceStorage(directory); // already there: nothing happens
    EXPECT_TRUE(CLogCapture::Default().Lines().empty());

    const fs::path orphan = InstanceStoragePath(kRoot / L"missing", L"ROOT#MEDIA#0001");
    EXPECT_NO_THROW(PrepareInstanceStorage(orphan));
    EXPECT_FALSE(fs::exists(orphan));
    const auto lines = CLogCapture::Default().Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].severity, 5);
    const std::wstring prefix = L"Error creating save path " + orphan.wstring() + L": ";
    EXPECT_EQ(lines[0].message.substr(0, prefix.size()), prefix);
    EXPECT_GT(lines[0].message.size(), prefix.size());
}

TEST_F(StoragePathTest, EnsureInstanceStorageCreatesOrThrows)
{
    CreateStorageRoot(kRoot);
    const fs::path directory = InstanceStoragePath(kRoot, L"ROOT#MEDIA#0002");
    EnsureInstanceStorage(directory);
    EXPECT_TRUE(fs::is_directory(directory));
    EXPECT_NO_THROW(EnsureInstanceStorage(directory));

    const fs::path orphan = InstanceStoragePath(kRoot / L"missing", L"ROOT#MEDIA#0003");
    try
    {
        EnsureInstanceStorage(orphan);
        FAIL() << "no exception";
    }
    catch (const fs::filesystem_error& error)
    {
        EXPECT_NE(std::string(error.what()).find("create_directory"), std::string::npos) << error.what();
        EXPECT_EQ(error.path1().wstring(), orphan.wstring());
    }
}

} // namespace
