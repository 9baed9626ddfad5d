// CDynLoader against a simulated module world: the system calls it makes are replaced, so the search
// order, the prefix choice and the group rules are checked without a real library.
#include "EntryPointTable.h"
#include "ScopedCurrentDirectory.h"

#include "library/DynLoader.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace
{

namespace fs = std::filesystem;
using librarytest::ExpectedEntryPoints;

struct CLoadAttempt
{
    std::wstring name;
    DWORD flags;
};

// What the fakes see and answer. One per test, reset by the fixture.
struct CModuleWorld
{
    std::set<std::wstring> loadable;      // exact names LoadLibraryExW accepts
    std::vector<CLoadAttempt> attempts;   // every LoadLibraryExW call
    std::string exportPrefix = "orvane_"; // the prefix the fake library's exports carry
    std::set<std::string> missing;        // entry points (without prefix) the library lacks
    bool reportsProcessInfo = true;
    const char* reportedPrefix = "orvane_";
    bool nullProcessInfo = false;
    std::vector<std::string> lookups; // every GetProcAddress name
    // The process token the loader reads: an ordinary user unless a test says otherwise.
    bool elevated = false;
    WELL_KNOWN_SID_TYPE user = WinBuiltinUsersSid;
    WELL_KNOWN_SID_TYPE group = WinInteractiveSid;
};

CModuleWorld g_world;

const HMODULE kFakeModule = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x7e570000));

// Distinct, never-called addresses for the entry points, by table position.
FARPROC FakeAddress(int index)
{
    return reinterpret_cast<FARPROC>(static_cast<std::uintptr_t>(0x10000 + 0x10 * index));
}

VelmarProcessInfo g_processInfo{sizeof(VelmarProcessInfo), "TEST", nullptr, "1.0"};

const VelmarProcessInfo* VELMAR_CALL FakeGetProcessInfo()
{
    if (g_world.nullProcessInfo)
    {
        return nullptr;
    }
    g_processInfo.prefix = g_world.reportedPrefix;
    return &g_processInfo;
}

HMODULE WINAPI FakeLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags)
{
    EXPECT_EQ(file, nullptr);
    g_world.attempts.push_back({name, flags});
    if (g_world.loadable.count(name) != 0)
    {
        return kFakeModule;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name)
{
    EXPECT_EQ(module, kFakeModule);
    const std::string text(name);
    g_world.lookups.push_back(text);
    if (text == "VELMAR_GetProcessInfo")
    {
        return g_world.reportsProcessInfo
                   ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FakeGetProcessInfo))
                   : nullptr;
    }
    if (text.rfind(g_world.exportPrefix, 0) != 0)
    {
        return nullptr;
    }
    const std::string bare = text.substr(g_world.exportPrefix.size());
    const int index = librarytest::IndexOf(bare);
    if (index < 0 || g_world.missing.count(bare) != 0)
    {
        return nullptr;
    }
    return FakeAddress(index);
}

// Answers the size query first, as the system does for the variable-length classes.
BOOL WINAPI FakeGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS type, void* buffer, DWORD size,
                                    DWORD* returned)
{
    if (type == TokenElevation)
    {
        *returned = sizeof(TOKEN_ELEVATION);
        static_cast<TOKEN_ELEVATION*>(buffer)->TokenIsElevated = g_world.elevated ? 1 : 0;
        return TRUE;
    }
    const DWORD head = type == TokenUser ? sizeof(TOKEN_USER) : sizeof(TOKEN_GROUPS);
    *returned = head + SECURITY_MAX_SID_SIZE;
    if (buffer == nullptr || size < *returned)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    BYTE* const sid = static_cast<BYTE*>(buffer) + head;
    DWORD sidSize = SECURITY_MAX_SID_SIZE;
    EXPECT_TRUE(CreateWellKnownSid(type == TokenUser ? g_world.user : g_world.group, nullptr, sid, &sidSize));
    if (type == TokenUser)
    {
        static_cast<TOKEN_USER*>(buffer)->User = {sid, 0};
    }
    else
    {
        auto* groups = static_cast<TOKEN_GROUPS*>(buffer);
        groups->GroupCount = 1;
        groups->Groups[0] = {sid, SE_GROUP_ENABLED};
    }
    return TRUE;
}

BOOL WINAPI FailGetModuleHandleExW(DWORD, LPCWSTR, HMODULE* module)
{
    *module = nullptr;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}

// Fills the whole buffer and reports truncation, as the system does for a path longer than the buffer.
DWORD WINAPI TruncatingGetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size)
{
    for (DWORD i = 0; i + 1 < size; ++i)
    {
        buffer[i] = (i % 10 == 2) ? L'\\' : L'a';
    }
    buffer[0] = L'C';
    buffer[1] = L':';
    buffer[size - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

fs::path ExecutableDirectory()
{
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return fs::path(std::wstring(buffer, length)).parent_path();
}

class CDynLoaderTest : public ::testing::Test
{
protected:
    CDynLoaderTest() { g_world = CModuleWorld{}; }

    // Makes the fake library loadable under the name the loader will try beside the executable.
    void PlaceBesideExecutable(const std::wstring& fileName)
    {
        g_world.loadable.insert((ExecutableDirectory() / fileName).wstring());
    }

    static bool IsNull(const void* address) { return address == nullptr; }

    CApiOverride<decltype(&::LoadLibraryExW)> m_load{platform::Api().LoadLibraryExW, &FakeLoadLibraryExW};
    CApiOverride<decltype(&::GetProcAddress)> m_proc{platform::Api().GetProcAddress, &FakeGetProcAddress};
    CApiOverride<decltype(&::GetTokenInformation)> m_token{
        velmar::helper::LoaderSecurity().GetTokenInformation, &FakeGetTokenInformation};
};

TEST_F(CDynLoaderTest, StartsEmptyWithTheTableAfterTheStateInOrder)
{
    velmar::helper::CDynLoader loader;
    EXPECT_EQ(loader.Module(), nullptr);
    EXPECT_FALSE(loader.IsLoaded());
    EXPECT_TRUE(loader.Prefix().empty());
    for (const void* address : librarytest::BoundAddresses(loader))
    {
        EXPECT_EQ(address, nullptr);
    }
    // vtable pointer, module handle, flag and prefix come first; then the 68 members, adjacent.
    const std::vector<size_t> offsets = librarytest::MemberOffsets(loader);
    ASSERT_EQ(offsets.size(), 68u);
    EXPECT_GE(offsets.front(), sizeof(void*) * 3 + sizeof(std::string));
    for (size_t i = 1; i < offsets.size(); ++i)
    {
        EXPECT_EQ(offsets[i], offsets[i - 1] + sizeof(void*)) << ExpectedEntryPoints()[i].name;
    }
}

TEST_F(CDynLoaderTest, BareNameIsTriedBesideTheExecutableThenInTheCurrentDirectory)
{
    librarytest::CScopedCurrentDirectory elsewhere(fs::temp_directory_path());
    const fs::path beside = ExecutableDirectory() / L"velmar.orvane.cl.dll";
    const fs::path current = fs::current_path() / L"velmar.orvane.cl.dll";
    ASSERT_NE(beside, current);
    {
        velmar::helper::CDynLoader loader;
        EXPECT_FALSE(loader.load(L"velmar.orvane.cl.dll"));
        ASSERT_EQ(g_world.attempts.size(), 2u);
        EXPECT_EQ(fs::path(g_world.attempts[0].name), beside);
        EXPECT_EQ(fs::path(g_world.attempts[1].name), current);
        EXPECT_EQ(g_world.attempts[0].flags, 0xF00u);
        EXPECT_EQ(g_world.attempts[1].flags, 0xF00u);
        EXPECT_EQ(loader.Module(), nullptr);
        EXPECT_TRUE(g_world.lookups.empty());
    }
    g_world.attempts.clear();
    g_world.loadable = {current.wstring()};
    {
        velmar::helper::CDynLoader loader;
        EXPECT_TRUE(loader.load(L"velmar.orvane.cl.dll"));
        EXPECT_EQ(g_world.attempts.size(), 2u);
        EXPECT_EQ(loader.Module(), kFakeModule);
    }
    g_world.attempts.clear();
    g_world.loadable.insert(beside.wstring());
    {
        velmar::helper::CDynLoader loader;
        EXPECT_TRUE(loader.load(L"velmar.orvane.cl.dll"));
        EXPECT_EQ(g_world.attempts.size(), 1u);
        EXPECT_TRUE(loader.IsLoaded());
    }
}

TEST_F(CDynLoaderTest, ElevatedOrServiceProcessDoesNotSearchTheCurrentDirectory)
{
    librarytest::CScopedCurrentDirectory elsewhere(fs::temp_directory_path());
    g_world.loadable.insert((fs::current_path() / L"velmar.orvane.cl.dll").wstring());
    CLogCapture& log = CLogCapture::Fresh();
    const auto untrusted = [](auto change)
    {
        g_world.attempts.clear();
        const CModuleWorld saved = g_world;
        change();
        velmar::helper::CDynLoader loader;
        const bool loaded = loader.load(L"velmar.orvane.cl.dll");
        const std::size_t attempts = g_world.attempts.size();
        g_world.elevated = saved.elevated;
        g_world.user = saved.user;
        g_world.group = saved.group;
        return !loaded && attempts == 1;
    };
    EXPECT_TRUE(untrusted([] { g_world.elevated = true; }));
    EXPECT_TRUE(untrusted([] { g_world.user = WinLocalSystemSid; }));
    EXPECT_TRUE(untrusted([] { g_world.user = WinLocalServiceSid; }));
    EXPECT_TRUE(untrusted([] { g_world.user = WinNetworkServiceSid; }));
    EXPECT_TRUE(untrusted([] { g_world.group = WinServiceSid; }));
    EXPECT_FALSE(untrusted([] {}));

    // The failed load says where it looked and why it looked no further.
    const std::vector<LogLine> lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().message.find((ExecutableDirectory() / L"velmar.orvane.cl.dll").wstring()),
              std::wstring::npos);
    EXPECT_NE(lines.front().message.find(L"current folder is not searched"), std::wstring::npos);
}

TEST_F(CDynLoaderTest, NameWithDirectoryIsTriedOnlyThere)
{
    // Both separators and both kinds of root name count as a directory part.
    const std::wstring names[] = {
        L"C:\\no\\such\\dir\\velmar.orvane.cl.dll",
        L"missing/velmar.orvane.cl.dll",
        L"\\\\server\\share\\velmar.orvane.cl.dll",
        L"relative\\velmar.orvane.cl.dll",
    };
    PlaceBesideExecutable(L"velmar.orvane.cl.dll");
    g_world.loadable.insert((fs::current_path() / L"velmar.orvane.cl.dll").wstring());
    for (const std::wstring& name : names)
    {
        g_world.attempts.clear();
        velmar::helper::CDynLoader loader;
        EXPECT_FALSE(loader.load(name)) << fs::path(name).string();
        ASSERT_EQ(g_world.attempts.size(), 1u) << fs::path(name).string();
        EXPECT_EQ(g_world.attempts[0].name, name);
        EXPECT_EQ(g_world.attempts[0].flags, 0xF00u);
    }

    g_world.attempts.clear();
    const std::wstring present = L"D:/libs/velmar.orvane.cl.dll";
    g_world.loadable.insert(present);
    velmar::helper::CDynLoader loader;
    EXPECT_TRUE(loader.load(present));
    ASSERT_EQ(g_world.attempts.size(), 1u);
    EXPECT_EQ(g_world.attempts[0].name, present);
}

TEST_F(CDynLoaderTest, UnknownOwnModuleMeansTheBareNameIsTriedFirst)
{
    librarytest::CScopedCurrentDirectory elsewhere(fs::temp_directory_path());
    g_world.loadable.insert((fs::current_path() / L"velmar.orvane.cl.dll").wstring());
    {
        CApiOverride<decltype(&::GetModuleHandleExW)> fail(platform::Api().GetModuleHandleExW,
                                                           &FailGetModuleHandleExW);
        velmar::helper::CDynLoader loader;
        EXPECT_TRUE(loader.load(L"velmar.orvane.cl.dll"));
        ASSERT_EQ(g_world.attempts.size(), 2u);
        EXPECT_EQ(g_world.attempts[0].name, L"velmar.orvane.cl.dll");
    }
    g_world.attempts.clear();
    {
        // A truncated file name must not stand for a directory: its parent would be some other one.
        CApiOverride<decltype(&::GetModuleFileNameW)> truncate(platform::Api().GetModuleFileNameW,
                                                               &TruncatingGetModuleFileNameW);
        velmar::helper::CDynLoader loader;
        EXPECT_TRUE(loader.load(L"velmar.orvane.cl.dll"));
        ASSERT_EQ(g_world.attempts.size(), 2u);
        EXPECT_EQ(g_world.attempts[0].name, L"velmar.orvane.cl.dll");
    }
}

TEST_F(CDynLoaderTest, ReportedPrefixWinsOverTheFileName)
{
    PlaceBesideExecutable(L"anything.dll");
    g_world.exportPrefix = "custom_";
    g_world.reportedPrefix = "custom_";
    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load(L"anything.dll"));
    EXPECT_EQ(loader.Prefix(), "custom_");
    EXPECT_EQ(g_world.lookups.front(), "VELMAR_GetProcessInfo");
    EXPECT_EQ(g_world.lookups[1], "custom_GetVersion");
}

TEST_F(CDynLoaderTest, WithoutReportedPrefixTheStemDecides)
{
    struct CCase
    {
        const wchar_t* fileName;
        const char* prefix; // null: not in the table
    };
    const CCase cases[] = {
        {L"velmar.q3.cloud.dll", "cloudq3_"}, {L"velmar.tessel.cl.dll", "tessel_"},
        {L"velmar.orvane.cl.dll", "orvane_"}, {L"velmar.unknown.cl.dll", nullptr},
        {L"Velmar.Orvane.CL.dll", nullptr}, // compared exactly
        {L"velmar.orvane.cl", nullptr},     // the stem is "velmar.orvane"
    };
    for (bool nullRecord : {false, true})
    {
        // A library without the export, and one whose export returns no record.
        g_world.reportsProcessInfo = nullRecord;
        g_world.nullProcessInfo = nullRecord;
        for (const CCase& test : cases)
        {
            SCOPED_TRACE(fs::path(test.fileName).string());
            g_world.loadable.clear();
            g_world.lookups.clear();
            PlaceBesideExecutable(test.fileName);
            g_world.exportPrefix = test.prefix != nullptr ? test.prefix : "orvane_";
            velmar::helper::CDynLoader loader;
            EXPECT_EQ(loader.load(test.fileName), test.prefix != nullptr);
            EXPECT_EQ(loader.Prefix(), test.prefix != nullptr ? test.prefix : "");
            if (test.prefix == nullptr)
            {
                // Nothing was looked up beyond the prefix query.
                EXPECT_EQ(g_world.lookups, std::vector<std::string>{"VELMAR_GetProcessInfo"});
            }
        }
    }
}

TEST_F(CDynLoaderTest, CompleteLibraryBindsAllEntryPointsInTableOrder)
{
    PlaceBesideExecutable(L"velmar.orvane.cl.dll");
    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load(L"velmar.orvane.cl.dll"));
    const std::vector<const void*> bound = librarytest::BoundAddresses(loader);
    ASSERT_EQ(bound.size(), 68u);
    for (size_t i = 0; i < bound.size(); ++i)
    {
        EXPECT_EQ(bound[i], reinterpret_cast<const void*>(FakeAddress(static_cast<int>(i))))
            << ExpectedEntryPoints()[i].name;
    }
    // One lookup for the prefix, then one per entry point, in table order.
    ASSERT_EQ(g_world.lookups.size(), 69u);
    for (size_t i = 0; i < 68; ++i)
    {
        EXPECT_EQ(g_world.lookups[i + 1], std::string("orvane_") + ExpectedEntryPoints()[i].name);
    }
}

TEST_F(CDynLoaderTest, MissingOptionalEntryPointLeavesTheRestOfItsGroupUnbound)
{
    PlaceBesideExecutable(L"velmar.orvane.cl.dll");
    g_world.missing = {"Webserver_Stop", "SetMetadata", "NewBus"};
    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load(L"velmar.orvane.cl.dll"));
    EXPECT_TRUE(loader.IsLoaded());

    // Group 2: bound up to the missing one, nothing after it.
    EXPECT_NE(loader.Webserver_tcp, nullptr);
    EXPECT_NE(loader.Webserver_tcp2, nullptr);
    EXPECT_NE(loader.Webserver, nullptr);
    EXPECT_EQ(loader.Webserver_Stop, nullptr);
    EXPECT_EQ(loader.Webserver_Status, nullptr);
    // Group 4 misses its first member: all of it stays null although the others exist.
    EXPECT_EQ(loader.GetMetadataInfos, nullptr);
    EXPECT_EQ(loader.InitProcess3, nullptr);
    // Group 5 likewise; the groups after them are bound.
    EXPECT_EQ(loader.SetInstanceBus, nullptr);
    EXPECT_NE(loader.StereoToMono_Planar, nullptr);
    EXPECT_NE(loader.SetMetadataMulti, nullptr);
    EXPECT_NE(loader.Webserver_FreeString, nullptr);
    EXPECT_NE(loader.SetInstanceTracingProcessActivity, nullptr);

    // The rest of a group is not even looked up after the missing name.
    const auto lookedUp = [](const char* name)
    {
        for (const std::string& lookup : g_world.lookups)
        {
            if (lookup == std::string("orvane_") + name)
            {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(lookedUp("Webserver_Stop"));
    EXPECT_FALSE(lookedUp("Webserver_Status"));
    EXPECT_FALSE(lookedUp("GetMetadataInfos"));
    EXPECT_FALSE(lookedUp("FreeBus"));
    EXPECT_TRUE(lookedUp("SetMetadataMulti"));
}

TEST_F(CDynLoaderTest, MissingMandatoryEntryPointFailsTheLoadAndKeepsWhatWasBound)
{
    // First, middle and last of group 1 and both members of group 3.
    const char* mandatory[] = {"GetVersion", "ProcessAudio", "SaveState", "StereoToMono_Planar",
                               "MonoToStereo_Planar"};
    for (const char* name : mandatory)
    {
        SCOPED_TRACE(name);
        g_world.loadable.clear();
        g_world.lookups.clear();
        PlaceBesideExecutable(L"velmar.orvane.cl.dll");
        g_world.missing = {name};
        velmar::helper::CDynLoader loader;
        EXPECT_FALSE(loader.load(L"velmar.orvane.cl.dll"));
        EXPECT_FALSE(loader.IsLoaded());
        EXPECT_EQ(loader.Module(), kFakeModule);
        // Binding stopped at the missing name; what came before stays bound.
        EXPECT_EQ(g_world.lookups.back(), std::string("orvane_") + name);
        const int missingIndex = librarytest::IndexOf(name);
        const std::vector<const void*> bound = librarytest::BoundAddresses(loader);
        for (int i = 0; i < 68; ++i)
        {
            EXPECT_EQ(bound[i] != nullptr, i < missingIndex) << ExpectedEntryPoints()[i].name;
        }
    }
}

TEST_F(CDynLoaderTest, SecondLoadStartsFromAnEmptyTable)
{
    PlaceBesideExecutable(L"velmar.orvane.cl.dll");
    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load(L"velmar.orvane.cl.dll"));
    ASSERT_NE(loader.Webserver_Status, nullptr);

    // A library lacking an optional function must not inherit the first library's pointer.
    g_world.missing = {"Webserver_Stop"};
    ASSERT_TRUE(loader.load(L"velmar.orvane.cl.dll"));
    EXPECT_EQ(loader.Webserver_Status, nullptr);

    g_world.loadable.clear();
    EXPECT_FALSE(loader.load(L"velmar.orvane.cl.dll"));
    EXPECT_FALSE(loader.IsLoaded());
    EXPECT_EQ(loader.Module(), nullptr);
    EXPECT_EQ(loader.GetVersion, nullptr);
}

} // namespace
