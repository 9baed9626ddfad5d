#include "SetupCommandTest.h"

#include "app/MainRoutine.h"
#include "config/StoragePath.h"
#include "platform/SystemError.h"
#include "simulation/DeviceControl.h"

#include "RegistryTestSupport.h"

#include <fstream>

#include <windows.h>

void SetupCommandTest::SetUp()
{
    simulation::ResetWorld();
    testreg::DeleteProductKey();
    std::filesystem::remove_all(StorageRoot());
    SetRebootPrompt(true);
    m_log = &CLogCapture::Fresh();
    m_saved = Operations();
    FrontOperations& operations = Operations();
    operations.PrepareLogging = [] {};
    operations.InitLogging = [](int verbosity, LogTarget)
    { plog::get<0>()->setMaxSeverity(plog::Severity{verbosity}); };
    operations.WriteOut = [this](const std::wstring& text) { out += text; };
    operations.WriteErr = [this](const std::wstring& text) { err += text; };
}

void SetupCommandTest::TearDown()
{
    Operations() = m_saved;
    SetRebootPrompt(true);
    std::filesystem::remove_all(StorageRoot());
    testreg::DeleteProductKey();
    simulation::ResetWorld();
}

int SetupCommandTest::Run(const std::vector<const wchar_t*>& words)
{
    out.clear();
    err.clear();
    std::vector<std::wstring> texts{L"orvane"};
    texts.insert(texts.end(), words.begin(), words.end());
    std::vector<wchar_t*> argv;
    for (std::wstring& text : texts)
    {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    return MainRoutine(static_cast<int>(texts.size()), argv.data(), L"velmar.orvane.cl.dll", nullptr);
}

std::wstring SetupCommandTest::InfPath()
{
    wchar_t path[MAX_PATH] = {};
    ::GetFullPathNameW(L"VirtualAudioOrvane.inf", MAX_PATH, path, nullptr);
    return path;
}

std::filesystem::path SetupCommandTest::StorageRoot()
{
    return GetStoragePath(L"VELMAR", L"ORVANE.CL.drv");
}

void SetupCommandTest::MakeStorage(const std::wstring& instanceId)
{
    std::filesystem::create_directories(StorageRoot() / instanceId);
    std::ofstream(StorageRoot() / instanceId / L"state.json") << "{}";
}

std::wstring SetupCommandTest::ErrorForm(unsigned long error)
{
    return ToHex(error) + L" " + FormatSystemError(error);
}
