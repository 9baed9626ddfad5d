#include "LogCapture.h"
#include "diagnostics/TxtFormatter.h"

#include "diagnostics/AsyncRing.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <string_view>
#include <string>
#include <thread>
#include <vector>

// Allocations on a thread that sets this flag fail, so a test can show which steps need none.
thread_local bool t_failAllocations = false;

void* operator new(std::size_t size)
{
    void* memory = t_failAllocations ? nullptr : ::HeapAlloc(::GetProcessHeap(), 0, size == 0 ? 1 : size);
    if (memory == nullptr)
    {
        throw std::bad_alloc();
    }
    return memory;
}
void operator delete(void* memory) noexcept
{
    if (memory != nullptr)
    {
        ::HeapFree(::GetProcessHeap(), 0, memory);
    }
}
void operator delete(void* memory, std::size_t) noexcept
{
    operator delete(memory);
}

namespace
{

using plog::detail::AsyncRing;

bool Put(AsyncRing& ring, int severity, const std::wstring& message)
{
    plog::Record record(static_cast<plog::Severity>(severity), "", 0, "", nullptr, 1);
    record << message;
    return ring.Enqueue(record);
}

std::vector<std::wstring> Messages(CLogCapture& capture)
{
    std::vector<std::wstring> messages;
    for (const auto& record : capture.Lines())
    {
        messages.push_back(record.message);
    }
    return messages;
}

TEST(AsyncRingTest, CapacityIsTheSmallestPowerOfTwoNotBelowTheRequest)
{
    EXPECT_EQ(AsyncRing::kCapacity, 1024u);
    EXPECT_EQ(plog::detail::AsyncRingCapacity(1), 2u);
    EXPECT_EQ(plog::detail::AsyncRingCapacity(3), 4u);
    EXPECT_EQ(plog::detail::AsyncRingCapacity(1000), 1024u);
    EXPECT_EQ(plog::detail::AsyncRingCapacity(1025), 2048u);
    EXPECT_EQ(alignof(AsyncRing) % 64, 0u);
}

TEST(AsyncRingTest, FullRingKeepsTheFirst1024InOrderAndDropsTheNext)
{
    auto ring = std::make_unique<AsyncRing>();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(ring.get()) % 64, 0u);
    for (int i = 0; i < 1024; ++i)
    {
        ASSERT_TRUE(Put(*ring, 4, L"record " + std::to_wstring(i))) << i;
    }
    EXPECT_FALSE(Put(*ring, 4, L"record 1024"));

    CLogCapture capture(&velmar::TxtFormatter::format);
    EXPECT_EQ(ring->Drain(capture), 1024u);
    const auto messages = Messages(capture);
    ASSERT_EQ(messages.size(), 1024u);
    for (int i = 0; i < 1024; ++i)
    {
        EXPECT_EQ(messages[i], L"record " + std::to_wstring(i));
    }
    EXPECT_EQ(ring->Drain(capture), 0u);
}

// Counts what reaches it without allocating.
class CCountingAppender : public plog::IAppender
{
public:
    void write(const plog::Record& record) override
    {
        ++count;
        intact = intact && std::wstring_view(record.getMessage()).starts_with(L"a record long enough");
    }
    std::size_t count = 0;
    bool intact = true;
};

TEST(AsyncRingTest, DrainingNeedsNoAllocationAndAlwaysReleasesTheCells)
{
    auto ring = std::make_unique<AsyncRing>();
    const std::wstring message =
        L"a record long enough to need more than the reserved room of a cell: " + std::wstring(200, L'x');
    for (int round = 0; round < 3; ++round) // past the wrap-around twice
    {
        for (std::size_t i = 0; i < AsyncRing::kCapacity; ++i)
        {
            ASSERT_TRUE(Put(*ring, 4, message)) << "round " << round << ", record " << i;
        }
        CCountingAppender counter;
        t_failAllocations = true;
        std::size_t drained = 0;
        try
        {
            drained = ring->Drain(counter);
        }
        catch (const std::bad_alloc&)
        {
        }
        t_failAllocations = false;
        EXPECT_EQ(drained, AsyncRing::kCapacity) << "round " << round;
        EXPECT_EQ(counter.count, AsyncRing::kCapacity) << "round " << round;
        EXPECT_TRUE(counter.intact) << "round " << round;
    }
}

TEST(AsyncRingTest, ReplayedRecordKeepsCreationTimeThreadSeverityAndLine)
{
    auto ring = std::make_unique<AsyncRing>();
    unsigned int producerTid = 0;
    plog::util::Time created{};
    std::thread producer(
        [&]
        {
            plog::Record record(static_cast<plog::Severity>(9), "", 321, "", nullptr, 1);
            record << L"from the audio thread";
            producerTid = record.getTid();
            created = record.getTime();
            ring->Enqueue(record);
        });
    producer.join();
    Sleep(20);

    CLogCapture capture(&velmar::TxtFormatter::format);
    ASSERT_EQ(ring->Drain(capture), 1u);
    const auto records = capture.Lines();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].severity, 9);
    EXPECT_EQ(records[0].message, L"from the audio thread");
    EXPECT_EQ(records[0].tid, producerTid);
    EXPECT_NE(records[0].tid, GetCurrentThreadId());
    EXPECT_EQ(records[0].time, static_cast<std::int64_t>(created.time));
    EXPECT_EQ(records[0].millitm, created.millitm);
    EXPECT_EQ(records[0].lineNumber, 321u);
    EXPECT_EQ(records[0].func, "");
    EXPECT_EQ(records[0].file, "");
}

TEST(AsyncRingTest, ProducersWithoutConsumerFillExactlyTheCapacity)
{
    auto ring = std::make_unique<AsyncRing>();
    std::atomic<int> accepted{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
    {
        producers.emplace_back(
            [&]
            {
                for (int i = 0; i < 600; ++i)
                {
                    if (Put(*ring, 4, L"r"))
                    {
                        ++accepted;
                    }
                }
            });
    }
    for (auto& producer : producers)
    {
        producer.join();
    }
    EXPECT_EQ(accepted.load(), 1024);
    CLogCapture capture(&velmar::TxtFormatter::format);
    EXPECT_EQ(ring->Drain(capture), 1024u);
}

// Message of producer p, number n: "p:n:" followed by a payload that depends on both.
std::wstring StressMessage(int producer, int number)
{
    return std::to_wstring(producer) + L":" + std::to_wstring(number) + L":" +
           std::wstring(static_cast<std::size_t>((number * 7 + producer) % 180),
                        static_cast<wchar_t>(L'a' + producer));
}

TEST(AsyncRingTest, ConcurrentProducersAndDrainDeliverEveryAcceptedRecordOnceAndIntact)
{
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 20000;
    auto ring = std::make_unique<AsyncRing>();
    std::vector<std::vector<char>> accepted(kProducers, std::vector<char>(kPerProducer, 0));
    std::atomic<int> running{kProducers};

    CLogCapture capture(&velmar::TxtFormatter::format);
    std::thread consumer(
        [&]
        {
            while (running.load() > 0)
            {
                if (ring->Drain(capture) == 0)
                {
                    std::this_thread::yield();
                }
            }
            ring->Drain(capture);
        });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
    {
        producers.emplace_back(
            [&, p]
            {
                for (int n = 0; n < kPerProducer; ++n)
                {
                    accepted[p][n] = Put(*ring, 1 + p, StressMessage(p, n)) ? 1 : 0;
                }
                --running;
            });
    }
    for (auto& producer : producers)
    {
        producer.join();
    }
    consumer.join();

    std::vector<std::vector<char>> delivered(kProducers, std::vector<char>(kPerProducer, 0));
    std::vector<int> last(kProducers, -1);
    for (const auto& record : capture.Lines())
    {
        const std::wstring& message = record.message;
        const auto first = message.find(L':');
        const auto second = message.find(L':', first + 1);
        ASSERT_NE(second, std::wstring::npos) << "damaged record";
        const int p = std::stoi(message.substr(0, first));
        const int n = std::stoi(message.substr(first + 1, second - first - 1));
        ASSERT_TRUE(p >= 0 && p < kProducers && n >= 0 && n < kPerProducer) << "damaged record";
        ASSERT_EQ(message, StressMessage(p, n)) << "damaged record";
        ASSERT_EQ(record.severity, 1 + p);
        ASSERT_EQ(delivered[p][n], 0) << "delivered twice: " << p << ":" << n;
        delivered[p][n] = 1;
        ASSERT_GT(n, last[p]) << "one producer's records out of order";
        last[p] = n;
    }
    std::size_t acceptedCount = 0;
    for (int p = 0; p < kProducers; ++p)
    {
        for (int n = 0; n < kPerProducer; ++n)
        {
            ASSERT_EQ(delivered[p][n], accepted[p][n]) << p << ":" << n;
            acceptedCount += accepted[p][n];
        }
    }
    // However the threads were scheduled, at least one ring's worth got through.
    EXPECT_GE(acceptedCount, AsyncRing::kCapacity);
}

} // namespace
