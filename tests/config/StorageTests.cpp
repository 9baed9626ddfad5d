// Storage folders: removal that is bounded and never follows a link, and folders nobody but the
// administrators can have planted.
#include "config/StoragePath.h"
#include "config/StorageRemoval.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"
#include "LogCapture.h"
#include "UnixLink.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace
{

const fs::path kMakerFolder = L"C:\\ProgramData\\VELMAR";
const fs::path kRoot = kMakerFolder / L"ORVANE.CL.drv";
const fs::path kTree = kRoot / L"ROOT#MEDIA#0000";
const fs::path kTarget = kMakerFolder / L"elsewhere";

void Write(const fs::path& file)
{
    std::ofstream(file) << "{}";
}

bool Present(const fs::path& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class StorageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Clean();
        fs::create_directories(kTree);
        fs::create_directories(kTarget);
        Write(kTarget / L"keep.txt");
        CLogCapture::Fresh();
    }
    void TearDown() override { Clean(); }

    static fs::path Link(const fs::path& link) { return unixlink::Make(kTarget, link) ? link : fs::path(); }
    std::vector<std::wstring> Errors() const { return CLogCapture::Default().At(velmar::LogSeverity::Error); }

private:
    static void Clean() { unixlink::RemoveTree(kMakerFolder); }
};

// The folder whose removal always finds a new temporary file in it, and how often it was tried.
fs::path g_filling;
int g_fillingRemovals = 0;
BOOL WINAPI RemoveFillingDirectory(LPCWSTR path)
{
    if (fs::path(path) == g_filling)
    {
        Write(g_filling / (L"state.json.tmp" + std::to_wstring(++g_fillingRemovals)));
    }
    return ::RemoveDirectoryW(path);
}

// Another writer deletes every file just before the removal gets to it.
BOOL WINAPI DeleteAfterSomebodyElse(LPCWSTR path)
{
    ::DeleteFileW(path);
    return ::DeleteFileW(path);
}

} // namespace

TEST_F(StorageTest, RemovalTakesReadOnlyEntriesButNeverWhatALinkPointsTo)
{
    fs::create_directories(kTree / L"sub" / L"locked");
    Write(kTree / L"state.json");
    Write(kTree / L"sub" / L"locked" / L"auth.json");
    ::SetFileAttributesW((kTree / L"state.json").c_str(), FILE_ATTRIBUTE_READONLY);
    ::SetFileAttributesW((kTree / L"sub" / L"locked").c_str(), FILE_ATTRIBUTE_READONLY);
    const fs::path link = Link(kTree / L"sub" / L"link");
    ASSERT_FALSE(link.empty());
    ASSERT_NE(::GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    const std::vector<StorageRemovalFailure> failures = RemoveStorageTree(kTree);
    EXPECT_TRUE(fs::exists(kTarget / L"keep.txt"));
    EXPECT_FALSE(Present(kTree / L"state.json"));
    EXPECT_FALSE(Present(kTree / L"sub" / L"locked"));
    if (Present(link))
    {
        // Wine cannot delete a Unix link without reaching through it, so it refuses; Windows removes it.
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].path, link);
        EXPECT_FALSE(failures[0].text.empty());
    }
    else
    {
        EXPECT_TRUE(failures.empty());
        EXPECT_FALSE(Present(kTree));
    }

    // The tree itself a link: only the link may go.
    const fs::path top = Link(kRoot / L"ROOT#MEDIA#0001");
    ASSERT_FALSE(top.empty());
    RemoveStorageTree(top);
    EXPECT_TRUE(fs::exists(kTarget / L"keep.txt"));
    EXPECT_TRUE(RemoveStorageTree(kRoot / L"missing").empty());
}

TEST_F(StorageTest, RemovalOfEntriesThatComeAndGoEndsAndReportsWhatStays)
{
    fs::create_directories(kTree / L"churn");
    Write(kTree / L"churn" / L"state.json");
    Write(kTree / L"gone.json");
    g_filling = kTree / L"churn";
    g_fillingRemovals = 0;
    {
        CApiOverride filling(platform::Api().RemoveDirectoryW, &RemoveFillingDirectory);
        CApiOverride vanishing(platform::Api().DeleteFileW, &DeleteAfterSomebodyElse);
        const std::vector<StorageRemovalFailure> failures = RemoveStorageTree(kTree);
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].path, g_filling);
        EXPECT_EQ(failures[0].error, static_cast<std::uint32_t>(ERROR_DIR_NOT_EMPTY));
        EXPECT_EQ(g_fillingRemovals, kStorageRemovalListings);
    }
    EXPECT_FALSE(Present(kTree / L"gone.json"));

    // Out of time: nothing more is tried, and the folder being worked on is reported.
    const auto failures = RemoveStorageTree(kTree, std::chrono::steady_clock::now());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].path, kTree);
    EXPECT_EQ(failures[0].error, static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_TRUE(Present(g_filling));

    // A writer saving its state the way the library does (temporary file, then rename) all along.
    std::atomic<bool> stop{false};
    std::thread writer(
        [&]
        {
            for (int i = 0; !stop && i < 1000000; ++i)
            {
                ::CreateDirectoryW(g_filling.c_str(), nullptr);
                const fs::path temporary = g_filling / (L"state.json.tmp" + std::to_wstring(i));
                Write(temporary);
                ::MoveFileExW(temporary.c_str(), (g_filling / L"state.json").c_str(),
                              MOVEFILE_REPLACE_EXISTING);
            }
        });
    const auto churned = RemoveStorageTree(kTree);
    stop = true;
    writer.join();
    for (const StorageRemovalFailure& failure : churned)
    {
        EXPECT_EQ(failure.path.wstring().rfind(kTree.wstring(), 0), 0u) << failure.path;
    }
}

namespace
{

// The access each folder was created with, as SDDL (empty without one).
std::vector<std::pair<fs::path, std::wstring>> g_created;
BOOL WINAPI RecordingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    std::wstring sddl;
    LPWSTR text = nullptr;
    if (attributes != nullptr &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            attributes->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
    {
        sddl = text;
        ::LocalFree(text);
    }
    g_created.emplace_back(path, sddl);
    return ::CreateDirectoryW(path, attributes);
}

// Every folder owned by the account in g_owner ("SY", "BA", "BU", ...); nullptr fails the query.
const wchar_t* g_owner = nullptr;
DWORD WINAPI OwnedBy(LPCWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL*, PACL*,
                     PSECURITY_DESCRIPTOR* descriptor)
{
    if (g_owner == nullptr)
    {
        return ERROR_ACCESS_DENIED;
    }
    const std::wstring sddl = std::wstring(L"O:") + g_owner;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor,
                                                           nullptr);
    BOOL defaulted = FALSE;
    ::GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    return ERROR_SUCCESS;
}

} // namespace

TEST_F(StorageTest, NewFoldersAreForAdministratorsOnly)
{
    fs::remove_all(kMakerFolder);
    g_created.clear();
    {
        CApiOverride guard(platform::Api().CreateDirectoryW, &RecordingCreateDirectory);
        CreateStorageRoot(kRoot);
        EXPECT_TRUE(PrepareInstanceStorage(kRoot / L"ROOT#MEDIA#0000"));
        EXPECT_TRUE(EnsureInstanceStorage(kRoot / L"ROOT#MEDIA#0001"));
    }
    EXPECT_TRUE(PrepareInstanceStorage(kRoot / L"ROOT#MEDIA#0000")); // existing: accepted as it is
    const std::wstring protectedAccess = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    EXPECT_EQ(g_created, (std::vector<std::pair<fs::path, std::wstring>>{
                             {kMakerFolder, protectedAccess},
                             {kRoot, protectedAccess},
                             {kRoot / L"ROOT#MEDIA#0000", protectedAccess},
                             {kRoot / L"ROOT#MEDIA#0001", protectedAccess}}));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(StorageTest, LinkedFoldersAreRefused)
{
    const fs::path instance = Link(kRoot / L"ROOT#MEDIA#0002");
    ASSERT_FALSE(instance.empty());
    EXPECT_FALSE(EnsureInstanceStorage(instance));
    EXPECT_FALSE(PrepareInstanceStorage(instance));
    const std::wstring refusal = L"Refusing storage folder " + instance.wstring() + L": it is a link";
    EXPECT_EQ(Errors(), (std::vector<std::wstring>{refusal, refusal}));

    // The root a link: the instances below it are refused, and so is the root itself.
    unixlink::RemoveTree(kRoot);
    const fs::path root = Link(kRoot);
    ASSERT_FALSE(root.empty());
    CLogCapture::Fresh();
    EXPECT_FALSE(EnsureInstanceStorage(kRoot / L"ROOT#MEDIA#0003"));
    EXPECT_FALSE(Present(kTarget / L"ROOT#MEDIA#0003"));
    EXPECT_THROW(CreateStorageRoot(kRoot), StorageRefusedError);
    const std::wstring rootRefusal = L"Refusing storage folder " + kRoot.wstring() + L": it is a link";
    EXPECT_EQ(Errors(), (std::vector<std::wstring>{rootRefusal, rootRefusal}));
}

TEST_F(StorageTest, FoldersOfOtherOwnersAreRefused)
{
    CApiOverride guard(platform::Api().GetNamedSecurityInfoW, &OwnedBy);
    for (const wchar_t* owner : {L"SY", L"BA"})
    {
        g_owner = owner;
        EXPECT_NO_THROW(CreateStorageRoot(kRoot)) << owner;
        EXPECT_TRUE(EnsureInstanceStorage(kTree)) << owner;
    }
    EXPECT_TRUE(Errors().empty());

    g_owner = L"BU";
    EXPECT_FALSE(EnsureInstanceStorage(kTree));
    EXPECT_FALSE(PrepareInstanceStorage(kTree));
    EXPECT_THROW(CreateStorageRoot(kRoot), StorageRefusedError);
    const std::wstring refusal = L"Refusing storage folder " + kMakerFolder.wstring() +
                                 L": owned by neither SYSTEM nor Administrators";
    EXPECT_EQ(Errors(), (std::vector<std::wstring>{refusal, refusal, refusal}));

    g_owner = nullptr;
    CLogCapture::Fresh();
    EXPECT_FALSE(EnsureInstanceStorage(kTree));
    const std::vector<std::wstring> errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    const std::wstring unreadable =
        L"Refusing storage folder " + kMakerFolder.wstring() + L": its owner cannot be read: 5 ";
    EXPECT_EQ(errors[0].substr(0, unreadable.size()), unreadable);
}
