#include "platform/Boundary.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace
{

TEST(CatchAtBoundaryTest, ReportsWhatLeftTheBodyAndNothingEverEscapes)
{
    struct NotStd
    {
    };
    const struct
    {
        const char* name;
        void (*body)();
        bool completes;
        const char* reported; // null: no report; "": reported as unknown
    } cases[] = {
        {"returns", [] {}, true, nullptr},
        {"std exception", [] { throw std::runtime_error("disk full"); }, false, "disk full"},
        {"non-std exception", [] { throw NotStd(); }, false, ""},
        {"integer", [] { throw 42; }, false, ""},
    };
    for (const auto& c : cases)
    {
        int reports = 0;
        std::string reported;
        const bool completed = platform::CatchAtBoundary(c.body,
                                                         [&](const std::exception* error)
                                                         {
                                                             ++reports;
                                                             reported = error != nullptr ? error->what() : "";
                                                         });
        EXPECT_EQ(completed, c.completes) << c.name;
        EXPECT_EQ(reports, c.reported != nullptr ? 1 : 0) << c.name;
        if (c.reported != nullptr)
        {
            EXPECT_EQ(reported, c.reported) << c.name;
        }
    }
}

TEST(CatchAtBoundaryTest, AThrowingReportIsSwallowed)
{
    const auto throwingReport = [](const std::exception*) { throw std::logic_error("report failed"); };
    EXPECT_FALSE(platform::CatchAtBoundary([] { throw std::runtime_error("first"); }, throwingReport));
    EXPECT_FALSE(platform::CatchAtBoundary([] { throw 7; }, throwingReport));
    EXPECT_FALSE(platform::CatchAtBoundary([] { throw 7; }, [](const std::exception*) { throw 8; }));
    EXPECT_FALSE(platform::CatchAtBoundary([] { throw std::runtime_error("nowhere to report"); }));
    EXPECT_TRUE(platform::CatchAtBoundary([] {}));
}

} // namespace
