// The display name a rename publishes while the audio thread reads it: a reader sees whole names only.
#include "processing/PublishedName.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

TEST(PublishedName, AReaderNeverSeesANameHalfWrittenAndCopiesOnlyWhatIsNew)
{
    CPublishedName published;
    const std::wstring longName(CPublishedName::kCapacity, L'a');
    const std::wstring shortName = L"bb";
    published.Publish(shortName);

    std::atomic<bool> done{false};
    std::thread writer(
        [&]
        {
            for (int i = 0; i < 20000; ++i)
            {
                published.Publish(i % 2 == 0 ? std::wstring_view(longName) : std::wstring_view(shortName));
            }
            done = true;
        });
    std::wstring copy;
    copy.reserve(CPublishedName::kCapacity);
    const wchar_t* const storage = copy.data();
    std::uint32_t generation = published.CopyTo(copy);
    int torn = 0;
    while (!done)
    {
        generation = published.Refresh(copy, generation);
        if (copy != longName && copy != shortName)
        {
            ++torn;
        }
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(copy.data(), storage) << "a refresh allocated";

    // Unchanged since the last copy: the copy is left alone; a name beyond the capacity is cut.
    copy = L"mine";
    generation = published.Generation();
    EXPECT_EQ(published.Refresh(copy, generation), generation);
    EXPECT_EQ(copy, L"mine");
    published.Publish(longName + L"zzz");
    published.Refresh(copy, generation);
    EXPECT_EQ(copy, longName);
}
