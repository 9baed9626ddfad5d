// The host (orvane-sim.exe) serving HTTPS through the reference library: the certificate the global
// parameters name, a replaced one after the restart their change causes, and one that cannot be used.
#include "HostProcess.h"
#include "../config/EnvelopeWriter.h"
#include "../reflib/HttpClient.h"
#include "../reflib/HttpsClient.h"
#include "../reflib/TestCertificate.h"

#include "simulation/DeviceControl.h"
#include "simulation/DeviceWorld.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <windows.h>

using namespace std::chrono_literals;
using hosttest::CHostProcess;
using hosttest::WaitUntil;

namespace
{

constexpr const wchar_t* kProductKey = L"SOFTWARE\\VELMAR\\ORVANE.CL.drv";
const std::wstring kParameters = std::wstring(kProductKey) + L"\\parameters";

std::wstring InstanceKey(const std::wstring& id)
{
    std::wstring key = std::wstring(kProductKey) + L"\\instances\\";
    for (wchar_t c : id)
    {
        key += c == L'\\' ? L'#' : c;
    }
    return key;
}

void SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, value.c_str(),
                    static_cast<DWORD>(value.size() * sizeof(wchar_t)));
}

void SetDword(const std::wstring& key, const wchar_t* name, DWORD value)
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_DWORD, &value, sizeof(value));
}

void Configure(const std::wstring& id, const wchar_t* name, std::uint16_t http, std::uint16_t https)
{
    SetString(InstanceKey(id), L"Name", name);
    SetDword(InstanceKey(id), L"HttpPort", http);
    SetDword(InstanceKey(id), L"HttpsPort", https);
    SetString(InstanceKey(id), L"AdminPassword", MakeEnvelopeW("secret"));
}

const reflib_test::CCredentials kAdmin{"admin", "secret"};

void UseCertificate(const reflib_test::CTestCertificate& certificate)
{
    SetString(kParameters, L"SSLCertificate", certificate.certificateFile.wstring());
    SetString(kParameters, L"SSLPrivate", certificate.keyFile.wstring());
}

bool Serves(std::uint16_t port, const reflib_test::CTestCertificate& certificate)
{
    return reflib_test::HttpsRequest(port, certificate.certificatePem, "GET", "/status", "", &kAdmin)
               .status == 200;
}

class HttpsHost : public ::testing::Test
{
protected:
    void SetUp() override
    {
        simulation::ResetWorld();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
        ASSERT_TRUE(hosttest::ClearStoredState());
        world = std::make_unique<simulation::CDeviceWorld>();
        ASSERT_TRUE(world->Start());
        for (int i = 0; i < 2; ++i)
        {
            ids.push_back(simulation::AddDevice());
        }
    }
    void TearDown() override
    {
        host.reset();
        world.reset();
        simulation::ResetWorld();
    }

    void StartHost()
    {
        host = std::make_unique<CHostProcess>(L"-vv");
        ASSERT_TRUE(host->Started());
    }

    // Every device's render stream checked for `blocks` more blocks, without a mismatch.
    bool Streams(uint32_t blocks)
    {
        const auto checked = [](const std::wstring& id)
        {
            const auto figures = simulation::Statistics(id);
            return figures ? figures->blocksChecked : 0u;
        };
        std::vector<uint32_t> start;
        for (const auto& id : ids)
        {
            start.push_back(checked(id));
        }
        const bool streamed = WaitUntil(
            [&]
            {
                for (size_t i = 0; i < ids.size(); ++i)
                {
                    if (checked(ids[i]) < start[i] + blocks)
                    {
                        return false;
                    }
                }
                return true;
            },
            20s);
        for (const auto& id : ids)
        {
            const auto figures = simulation::Statistics(id);
            if (!figures || figures->mismatches != 0)
            {
                return false;
            }
        }
        return streamed;
    }

    const std::filesystem::path folder = std::filesystem::temp_directory_path() / L"orvane-https-host";
    std::unique_ptr<simulation::CDeviceWorld> world;
    std::unique_ptr<CHostProcess> host;
    std::vector<std::wstring> ids;
};

TEST_F(HttpsHost, ServesTheConfiguredCertificateAndTheReplacedPairAfterTheGlobalChanges)
{
    const auto first = reflib_test::MakeTestCertificate("first", folder);
    const auto second = reflib_test::MakeTestCertificate("second", folder);
    const auto httpsOnly = reflib_test::FreePort();
    const auto http = reflib_test::FreePort();
    const auto https = reflib_test::FreePort();
    Configure(ids[0], L"Desk", 0, httpsOnly);
    Configure(ids[1], L"Booth", http, https);
    UseCertificate(first);
    StartHost();
    ASSERT_TRUE(Streams(50)) << host->Output();
    ASSERT_TRUE(WaitUntil([&] { return Serves(httpsOnly, first) && Serves(https, first); }, 10s))
        << host->Output();
    EXPECT_EQ(reflib_test::HttpRequest(http, "GET", "/status", "", &kAdmin).status, 200);
    EXPECT_FALSE(host->OutputContains("Failed to start Webserver")) << host->Output();

    // Each change restarts every instance, and their servers read the files named then: the new
    // certificate with the old key is refused, the new pair is served.
    SetString(kParameters, L"SSLCertificate", second.certificateFile.wstring());
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            return host->OutputContains("Failed to start Webserver for Desk") &&
                   host->OutputContains("Failed to start Webserver for Booth");
        },
        10s))
        << host->Output();
    EXPECT_EQ(host->CountInOutput("cannot serve HTTPS on port"), 2u) << host->Output();
    EXPECT_TRUE(WaitUntil(
        [&] { return reflib_test::HttpRequest(http, "GET", "/status", "", &kAdmin).status == 200; }, 10s));
    SetString(kParameters, L"SSLPrivate", second.keyFile.wstring());
    ASSERT_TRUE(WaitUntil([&] { return Serves(httpsOnly, second) && Serves(https, second); }, 10s))
        << host->Output();
    EXPECT_EQ(host->CountInOutput("Global parameters changed, reloading all units"), 2u);
    EXPECT_FALSE(reflib_test::HttpsRequest(httpsOnly, first.certificatePem, "GET", "/status").handshake);
    EXPECT_TRUE(Streams(50));
    ASSERT_TRUE(host->Interrupt());
    EXPECT_EQ(host->Wait(10s), std::optional<DWORD>(0)) << host->Output() << host->Backtraces();
}

TEST_F(HttpsHost, AnUnusableCertificateIsReportedAndEverythingElseGoesOn)
{
    const auto http = reflib_test::FreePort();
    const auto https = reflib_test::FreePort();
    Configure(ids[0], L"Desk", http, https);
    SetString(kParameters, L"SSLCertificate", (folder / L"absent.crt").wstring());
    SetString(kParameters, L"SSLPrivate", (folder / L"absent.key").wstring());
    StartHost();
    ASSERT_TRUE(host->WaitForOutput("Failed to start Webserver for Desk", 10s)) << host->Output();
    EXPECT_TRUE(host->OutputContains("cannot serve HTTPS on port " + std::to_string(https)))
        << host->Output();
    EXPECT_TRUE(WaitUntil(
        [&] { return reflib_test::HttpRequest(http, "GET", "/status", "", &kAdmin).status == 200; }, 10s));
    EXPECT_FALSE(reflib_test::HttpRequest(https, "GET", "/status").connected);
    EXPECT_TRUE(Streams(100)) << host->Output();
}

} // namespace
