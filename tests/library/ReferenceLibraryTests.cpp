// CDynLoader against real modules: the reference processing library beside the executable and its
// variants in bin/variants, each lacking one thing.
#include "EntryPointTable.h"
#include "ScopedCurrentDirectory.h"

#include "library/DynLoader.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace
{

namespace fs = std::filesystem;

std::vector<std::wstring> g_attempts;

HMODULE WINAPI CountingLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags)
{
    g_attempts.push_back(name);
    return ::LoadLibraryExW(name, file, flags);
}

fs::path BinDirectory()
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return fs::path(std::wstring(buffer, length)).parent_path();
}

fs::path Variant(const wchar_t* fileName)
{
    return BinDirectory() / L"variants" / fileName;
}

fs::path ModulePath(HMODULE module)
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH);
    return fs::path(std::wstring(buffer, length));
}

bool SameFile(const fs::path& a, const fs::path& b)
{
    std::error_code error;
    return fs::equivalent(a, b, error);
}

// A scratch directory of this process, left behind on purpose when a module inside is still mapped.
fs::path ScratchDirectory(const wchar_t* name)
{
    const fs::path directory =
        fs::temp_directory_path() / (std::wstring(name) + L"-" + std::to_wstring(GetCurrentProcessId()));
    fs::create_directories(directory);
    return directory;
}

class CReferenceLibraryTest : public ::testing::Test
{
protected:
    CReferenceLibraryTest() { g_attempts.clear(); }

    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(BinDirectory() / L"velmar.orvane.cl.dll"))
            << "the reference library is not built beside the tests";
    }

    CApiOverride<decltype(&::LoadLibraryExW)> m_load{platform::Api().LoadLibraryExW, &CountingLoadLibraryExW};
};

TEST_F(CReferenceLibraryTest, LoadsBesideTheExecutableWhateverTheCurrentDirectory)
{
    librarytest::CScopedCurrentDirectory elsewhere(ScratchDirectory(L"orvane-loader-empty"));
    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load(L"velmar.orvane.cl.dll"));
    EXPECT_EQ(g_attempts.size(), 1u);
    EXPECT_TRUE(loader.IsLoaded());
    EXPECT_EQ(loader.Prefix(), "orvane_");
    EXPECT_TRUE(SameFile(ModulePath(loader.Module()), BinDirectory() / L"velmar.orvane.cl.dll"));
    // Bound into the right module and callable.
    EXPECT_EQ(loader.GetSampleRate(), 48000);
}

TEST_F(CReferenceLibraryTest, LoadsFromTheCurrentDirectoryOnTheSecondAttemptAndStaysMapped)
{
    // Wine gives every process an elevated token; an ordinary user's process searches the folder.
    CApiOverride<decltype(&::GetTokenInformation)> notElevated{
        velmar::helper::LoaderSecurity().GetTokenInformation,
        [](HANDLE token, TOKEN_INFORMATION_CLASS type, void* buffer, DWORD size, DWORD* returned) -> BOOL
        {
            if (type != TokenElevation)
            {
                return ::GetTokenInformation(token, type, buffer, size, returned);
            }
            *returned = sizeof(TOKEN_ELEVATION);
            static_cast<TOKEN_ELEVATION*>(buffer)->TokenIsElevated = 0;
            return TRUE;
        }};
    const fs::path scratch = ScratchDirectory(L"orvane-loader-current");
    const fs::path copy = scratch / L"velmar.copy.cl.dll";
    fs::copy_file(BinDirectory() / L"velmar.orvane.cl.dll", copy, fs::copy_options::overwrite_existing);
    ASSERT_FALSE(fs::exists(BinDirectory() / L"velmar.copy.cl.dll"));

    librarytest::CScopedCurrentDirectory inScratch(scratch);
    HMODULE module = nullptr;
    {
        velmar::helper::CDynLoader loader;
        // The stem is not in the prefix table: the library's own report of its prefix is what counts.
        ASSERT_TRUE(loader.load(L"velmar.copy.cl.dll"));
        EXPECT_EQ(g_attempts.size(), 2u);
        EXPECT_EQ(loader.Prefix(), "orvane_");
        module = loader.Module();
        EXPECT_TRUE(SameFile(ModulePath(module), copy));
    }
    // Destroying the loader does not unload the library.
    HMODULE still = nullptr;
    EXPECT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, copy.c_str(), &still));
    EXPECT_EQ(still, module);
}

TEST_F(CReferenceLibraryTest, MissingDirectoryFailsWithoutTryingTheExecutableDirectory)
{
    const fs::path name = BinDirectory() / L"no-such-directory" / L"velmar.orvane.cl.dll";
    velmar::helper::CDynLoader loader;
    EXPECT_FALSE(loader.load(name.wstring()));
    ASSERT_EQ(g_attempts.size(), 1u);
    EXPECT_EQ(fs::path(g_attempts[0]), name);
    EXPECT_EQ(loader.Module(), nullptr);
}

TEST_F(CReferenceLibraryTest, BindsAllEntryPointsOfTheRealLibraryInTableOrder)
{
    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load(L"velmar.orvane.cl.dll"));
    const auto& expected = librarytest::ExpectedEntryPoints();
    const std::vector<const void*> bound = librarytest::BoundAddresses(loader);
    ASSERT_EQ(bound.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
    {
        const std::string exportName = std::string("orvane_") + expected[i].name;
        const void* address =
            reinterpret_cast<const void*>(::GetProcAddress(loader.Module(), exportName.c_str()));
        EXPECT_NE(address, nullptr) << exportName;
        EXPECT_EQ(bound[i], address) << exportName;
    }
}

TEST_F(CReferenceLibraryTest, TesselStemGivesTheTesselPrefix)
{
    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load(Variant(L"velmar.tessel.cl.dll").wstring()));
    EXPECT_EQ(loader.Prefix(), "tessel_");
    EXPECT_EQ(reinterpret_cast<const void*>(loader.GetVersion),
              reinterpret_cast<const void*>(::GetProcAddress(loader.Module(), "tessel_GetVersion")));
    EXPECT_NE(loader.SetInstanceTracingProcessActivity, nullptr);
}

TEST_F(CReferenceLibraryTest, UnknownStemWithoutReportedPrefixFails)
{
    velmar::helper::CDynLoader loader;
    EXPECT_FALSE(loader.load(Variant(L"velmar.unknown.cl.dll").wstring()));
    EXPECT_NE(loader.Module(), nullptr) << "the file itself is loadable";
    EXPECT_FALSE(loader.IsLoaded());
    EXPECT_EQ(loader.GetVersion, nullptr);
}

TEST_F(CReferenceLibraryTest, LibraryWithoutWebserverStopLoadsWithThatGroupIncomplete)
{
    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load(Variant(L"velmar.nostop.cl.dll").wstring()));
    EXPECT_NE(loader.Webserver_tcp, nullptr);
    EXPECT_NE(loader.Webserver_tcp2, nullptr);
    EXPECT_NE(loader.Webserver, nullptr);
    EXPECT_EQ(loader.Webserver_Stop, nullptr);
    EXPECT_EQ(loader.Webserver_Status, nullptr);
    EXPECT_NE(loader.StereoToMono_Planar, nullptr);
}

TEST_F(CReferenceLibraryTest, LibraryWithoutPlanarConversionFails)
{
    velmar::helper::CDynLoader loader;
    EXPECT_FALSE(loader.load(Variant(L"velmar.noplanar.cl.dll").wstring()));
    EXPECT_FALSE(loader.IsLoaded());
    EXPECT_EQ(loader.StereoToMono_Planar, nullptr);
}

TEST_F(CReferenceLibraryTest, LibraryWithoutInitProcess3LoadsWithItNull)
{
    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load(Variant(L"velmar.noinit3.cl.dll").wstring()));
    EXPECT_EQ(loader.InitProcess3, nullptr);
    EXPECT_NE(loader.InitProcess2, nullptr);
    EXPECT_NE(loader.GetProcessChunkFrames, nullptr);
    EXPECT_NE(loader.NewBus, nullptr);
}

TEST_F(CReferenceLibraryTest, VariantIsBoundToItsOwnModule)
{
    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load(Variant(L"velmar.rate44k.cl.dll").wstring()));
    EXPECT_EQ(loader.GetSampleRate(), 44100);
}

} // namespace
