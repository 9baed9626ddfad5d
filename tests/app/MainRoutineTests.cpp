#include "app/MainRoutine.h"
#include "app/ServiceParameters.h"
#include "app/Usage.h"
#include "app/Version.h"
#include "diagnostics/ThreadLabel.h"
#include "setup/RebootPrompt.h"

#include "LogCapture.h"
#include "FrontOperationsOverride.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

using Calls = std::vector<std::wstring>;

const std::wstring kLibrary = L"velmar.orvane.cl.dll";
const std::wstring kInvalid = L"Invalid command line parameter ?\n";

class MainRoutineTest : public testing::Test
{
protected:
    void SetUp() override { SetRebootPrompt(true); }
    void TearDown() override { SetRebootPrompt(true); }

    // Runs the main routine over "orvane" followed by the words; returns the exit code.
    int Run(std::initializer_list<const wchar_t*> words)
    {
        m_texts.assign(1, L"orvane");
        for (const wchar_t* word : words)
        {
            m_texts.emplace_back(word);
        }
        return RunVector();
    }

    int RunVector()
    {
        std::vector<wchar_t*> argv;
        for (std::wstring& text : m_texts)
        {
            argv.push_back(text.data());
        }
        argv.push_back(nullptr);
        const int result = MainRoutine(static_cast<int>(m_texts.size()), argv.data(), kLibrary, Provider());
        // Every run starts by building the appenders, and only once.
        EXPECT_FALSE(ops.calls.empty());
        if (!ops.calls.empty())
        {
            EXPECT_EQ(ops.calls.front(), L"PrepareLogging");
            ops.calls.erase(ops.calls.begin());
        }
        return result;
    }

    static CTraceProvider* Provider() { return reinterpret_cast<CTraceProvider*>(&ProviderStandIn); }

    static inline int ProviderStandIn = 0;
    std::vector<std::wstring> m_texts;
    CRecordingOperations ops;
};

TEST_F(MainRoutineTest, VerboseCountsOnlyBeforeTheCommand)
{
    EXPECT_EQ(Run({L"-v", L"-D"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 5 console", L"InstallDriver 0"}));

    ops.calls.clear();
    EXPECT_EQ(Run({L"-D", L"-v", L"-x"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 4 console", L"InstallDriver 0"}));
    EXPECT_EQ(ops.err, L"");
}

TEST_F(MainRoutineTest, InstallDriverResults)
{
    ops.installResult = false;
    ops.installReboot = 1;
    EXPECT_EQ(Run({L"-D"}), 1);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 4 console", L"InstallDriver 0"}));

    ops.calls.clear();
    ops.installResult = true;
    ops.installReboot = 0;
    EXPECT_EQ(Run({L"--install-driver"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 4 console", L"InstallDriver 0"}));
    EXPECT_EQ(ops.out, L"");
}

TEST_F(MainRoutineTest, RebootPromptDependsOnWhereMinusBStands)
{
    ops.installReboot = 4;
    EXPECT_EQ(Run({L"-D", L"-b"}), 2);
    EXPECT_EQ(ops.calls,
              (Calls{L"InitLogging 4 console", L"InstallDriver 0", L"SetupPromptReboot null null 0"}));
    EXPECT_TRUE(RebootPromptEnabled());

    ops.calls.clear();
    EXPECT_EQ(Run({L"-b", L"-D"}), 2);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 4 console", L"InstallDriver 0"}));
    EXPECT_FALSE(RebootPromptEnabled());

    SetRebootPrompt(true);
    ops.calls.clear();
    EXPECT_EQ(Run({L"--reboot-info", L"-D"}), 2);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 4 console", L"InstallDriver 0"}));
}

TEST_F(MainRoutineTest, DeviceCommandsPassTheirExitCode)
{
    ops.addResult = 2;
    EXPECT_EQ(Run({L"-vv", L"-a", L"-D"}), 2);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 6 console", L"AddDeviceCommand"}));

    ops.calls.clear();
    ops.removeResult = 1;
    EXPECT_EQ(Run({L"-r", L"ROOT#MEDIA#0000"}), 1);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 4 console", L"RemoveDeviceCommand ROOT#MEDIA#0000"}));

    ops.calls.clear();
    ops.removeResult = 0;
    EXPECT_EQ(Run({L"--remove-device=all"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 4 console", L"RemoveDeviceCommand all"}));
}

TEST_F(MainRoutineTest, RemoveDeviceWithoutAnId)
{
    EXPECT_EQ(Run({L"--remove-device"}), 1);
    EXPECT_EQ(ops.calls, Calls{});
    EXPECT_EQ(ops.err,
              L"orvane: option requires an argument -- remove-device\n" + kInvalid + UsageText(L"orvane"));

    ops.err.clear();
    EXPECT_EQ(Run({L"-v", L"-r"}), 1);
    EXPECT_EQ(ops.err, L"orvane: option requires an argument -- r\n" + kInvalid + UsageText(L"orvane"));

    // An empty id names no device: refused before anything is set up.
    ops.err.clear();
    EXPECT_EQ(Run({L"--remove-device="}), 1);
    EXPECT_EQ(ops.calls, Calls{});
    EXPECT_EQ(ops.err, L"--remove-device needs a device id or 'all'\n");
    EXPECT_EQ(ops.out, L"");
}

TEST_F(MainRoutineTest, LastServiceLetterWins)
{
    EXPECT_EQ(Run({L"-S", L"-K"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"Execute 6 ''"}));
    EXPECT_EQ(ops.out, L"Service Operation Successful\n");
    EXPECT_EQ(ops.serviceLibrary, kLibrary);
    EXPECT_EQ(ops.serviceProvider, Provider());
}

TEST_F(MainRoutineTest, EveryServiceLetterHasItsCode)
{
    const std::vector<std::pair<const wchar_t*, int>> letters = {{L"-I", 1}, {L"-U", 2},       {L"-S", 3},
                                                                 {L"-R", 4}, {L"-G", 5},       {L"-K", 6},
                                                                 {L"-P", 7}, {L"--service", 5}};
    for (const auto& [letter, code] : letters)
    {
        ops.calls.clear();
        EXPECT_EQ(Run({letter}), 0) << letter;
        EXPECT_EQ(ops.calls, (Calls{L"Execute " + std::to_wstring(code) + L" ''"})) << letter;
    }
}

TEST_F(MainRoutineTest, ServiceOperationFailure)
{
    ops.executeResult = false;
    EXPECT_EQ(Run({L"-R"}), 1);
    EXPECT_EQ(ops.err, L"Service Operation failed\n");
    EXPECT_EQ(ops.out, L"");
}

TEST_F(MainRoutineTest, DeviceCommandBeatsAnEarlierServiceLetter)
{
    EXPECT_EQ(Run({L"-I", L"-a"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 4 console", L"AddDeviceCommand"}));
}

TEST_F(MainRoutineTest, ParameterStringFromVerbosityAndEventLog)
{
    EXPECT_EQ(Run({L"-vvvvvv", L"-I"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"Execute 1 ''"}));

    ops.calls.clear();
    EXPECT_EQ(Run({L"-vv", L"-e", L"-I"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"RegisterEventLogSource", L"Execute 1 '-vv --event-log '"}));

    ops.calls.clear();
    EXPECT_EQ(Run({L"-P", L"--verbose", L"--event-log"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"Execute 7 '-v --event-log '"}));
}

TEST_F(MainRoutineTest, ParameterStringTable)
{
    EXPECT_EQ(ServiceParameterString(4, false), L"");
    EXPECT_EQ(ServiceParameterString(5, false), L"-v ");
    EXPECT_EQ(ServiceParameterString(7, false), L"-vvv ");
    EXPECT_EQ(ServiceParameterString(9, true), L"-vvvvv --event-log ");
    EXPECT_EQ(ServiceParameterString(10, false), L"");
    EXPECT_EQ(ServiceParameterString(11, true), L"--event-log ");
}

TEST_F(MainRoutineTest, EventLogSourceOnlyWithInstallAndUninstall)
{
    EXPECT_EQ(Run({L"-e", L"-U"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"UnregisterEventLogSource", L"Execute 2 '--event-log '"}));

    ops.calls.clear();
    EXPECT_EQ(Run({L"-U"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"Execute 2 ''"}));

    ops.calls.clear();
    EXPECT_EQ(Run({L"-I"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"Execute 1 ''"}));

    ops.calls.clear();
    EXPECT_EQ(Run({L"-e", L"-S"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"Execute 3 '--event-log '"}));
}

TEST_F(MainRoutineTest, FailedEventLogRegistrationStopsBeforeTheService)
{
    ops.registerResult = false;
    EXPECT_EQ(Run({L"-I", L"-e"}), 1);
    EXPECT_EQ(ops.calls, (Calls{L"RegisterEventLogSource"}));
    EXPECT_EQ(ops.out, L"");
}

TEST_F(MainRoutineTest, EventLogUnregistrationNeverStopsTheUninstallation)
{
    ops.executeResult = false;
    EXPECT_EQ(Run({L"-U", L"-e"}), 1);
    EXPECT_EQ(ops.calls, (Calls{L"UnregisterEventLogSource", L"Execute 2 '--event-log '"}));
    EXPECT_EQ(ops.err, L"Service Operation failed\n");
}

TEST_F(MainRoutineTest, AmbiguousLongOptions)
{
    EXPECT_EQ(Run({L"--ver"}), 1);
    EXPECT_EQ(ops.err, L"orvane: ambiguous option -- ver\n" + kInvalid + UsageText(L"orvane"));

    ops.err.clear();
    EXPECT_EQ(Run({L"-S", L"--re"}), 1);
    EXPECT_EQ(ops.err, L"orvane: ambiguous option -- re\n" + kInvalid + UsageText(L"orvane"));
    EXPECT_EQ(ops.calls, Calls{});
    EXPECT_EQ(ops.out, L"");
}

TEST_F(MainRoutineTest, PrefixSelectsVerbose)
{
    EXPECT_EQ(Run({L"--verb", L"--verb"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"RunProcessing 6 console"}));
}

TEST_F(MainRoutineTest, HelpAndVersion)
{
    EXPECT_EQ(Run({L"-S", L"-h", L"-K"}), 0);
    EXPECT_EQ(ops.calls, Calls{});
    EXPECT_EQ(ops.out, UsageText(L"orvane"));
    EXPECT_EQ(ops.out.substr(0, 24), L"Usage: orvane [options]\n");

    ops.out.clear();
    EXPECT_EQ(Run({L"-v", L"--version", L"-D"}), 0);
    EXPECT_EQ(ops.calls, Calls{});
    EXPECT_EQ(ops.out, ORVANE_VERSION_TEXT L"\n");
    EXPECT_EQ(ops.err, L"");
}

TEST_F(MainRoutineTest, UsageIsTheFixedTextWithTheProgramName)
{
    EXPECT_EQ(UsageText(L"x"),
              L"Usage: x [options]\n"
              L"  -h,--help                   : print this help\n"
              L"  -V,--version                : get version\n"
              L"  -v,--verbose                : be more verbose\n"
              L"  -e,--event-log              : log to Windows'event log\n"
              L"  -D,--install-driver         : install driver\n"
              L"  -a,--add-device             : add device\n"
              L"  -r,--remove-device=ID       : remove device (use 'all' to remove all)\n"
              L"  -b,--reboot-info            : if reboot is needed, returns 2 instead of asking user\n"
              L"  -I,--install-service        : installs the service\n"
              L"  -U,--uninstall-service      : uninstalls the service\n"
              L"  -S,--start-service          : starts the service\n"
              L"  -R,--restart-service        : restarts the service\n"
              L"  -K,--stop-service           : stops the service\n"
              L"  -P,--set-service-parameters : set the service parameters\n");
}

TEST_F(MainRoutineTest, ServiceRunIgnoresTheServiceNameWords)
{
    m_texts = {L"VELMAR", L"ORVANE.CL", L"drv", L"-vv", L"--event-log"};
    EXPECT_EQ(RunVector(), 0);
    EXPECT_EQ(ops.calls, (Calls{L"RunProcessing 6 eventlog"}));
    EXPECT_EQ(ops.processing.libraryFileName, kLibrary);
    EXPECT_EQ(ops.processing.traceProvider, Provider());
    EXPECT_EQ(ops.err, L"");
}

TEST_F(MainRoutineTest, ProcessingRunWithoutOptions)
{
    ops.processingResult = 1;
    EXPECT_EQ(Run({}), 1);
    EXPECT_EQ(ops.calls, (Calls{L"RunProcessing 4 console"}));
    EXPECT_EQ(GetThreadLabel(), L"MAIN");
}

TEST_F(MainRoutineTest, EscapingExceptionsEndTheRunWithOne)
{
    CLogCapture& log = CLogCapture::Fresh();
    Operations().RunProcessing = [](const ProcessingRunOptions&) -> int
    { throw std::runtime_error("Cannot watch the registry"); };
    EXPECT_EQ(Run({}), 1);
    std::vector<LogLine> lines = log.Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].severity, 1);
    EXPECT_EQ(lines[0].message, L"Cannot watch the registry");

    Operations().RunProcessing = [](const ProcessingRunOptions&) -> int { throw 42; };
    EXPECT_EQ(Run({}), 1);
    lines = log.Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].severity, 1);
    EXPECT_EQ(lines[0].message, L"unknown exception");
}

TEST_F(MainRoutineTest, PosixlyCorrectFromTheEnvironmentStopsAtTheFirstWord)
{
    ASSERT_EQ(_wputenv(L"POSIXLY_CORRECT=1"), 0);
    const int posixResult = Run({L"-v", L"word", L"-D"});
    ASSERT_EQ(_wputenv(L"POSIXLY_CORRECT="), 0);
    EXPECT_EQ(posixResult, 0);
    EXPECT_EQ(ops.calls, (Calls{L"RunProcessing 5 console"}));

    ops.calls.clear();
    EXPECT_EQ(Run({L"-v", L"word", L"-D"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"InitLogging 5 console", L"InstallDriver 0"}));
}

TEST_F(MainRoutineTest, EachRunScansItsWholeVector)
{
    // A scan error inside a cluster must not leave the rest of the cluster to the next run.
    EXPECT_EQ(Run({L"-vxv"}), 1);
    ops.calls.clear();
    ops.err.clear();
    EXPECT_EQ(Run({L"-e", L"word"}), 0);
    EXPECT_EQ(ops.calls, (Calls{L"RunProcessing 4 eventlog"}));
    EXPECT_EQ(ops.err, L"");
}

} // namespace
