#pragma once
// Names of the values in the world's shared store that more than one file uses.
namespace simulation::values
{

// Root: options of the serving world, requests to it and its answers.
inline constexpr wchar_t kDeliveryOrder[] = L"Options.DeliveryOrder";
inline constexpr wchar_t kLinkCase[] = L"Options.LinkCase"; // LinkCase; missing: mixed
// How long after a device starts its endpoints appear; missing: at once.
inline constexpr wchar_t kEndpointDelay[] = L"Options.EndpointDelayMs";
inline constexpr wchar_t kStatsResetSeq[] = L"StatsResetSeq";
inline constexpr wchar_t kStatsResetDone[] = L"StatsResetDone";

// Device records: requests (counts that only grow) and their parameters.
inline constexpr wchar_t kStallRequests[] = L"StallRequests";
inline constexpr wchar_t kStallMs[] = L"StallMs";
inline constexpr wchar_t kSlowPermille[] = L"SlowPermille";
inline constexpr wchar_t kFailReadSeq[] = L"FailReadSeq";
inline constexpr wchar_t kFailReadCode[] = L"FailReadCode";
inline constexpr wchar_t kFailWriteSeq[] = L"FailWriteSeq";
inline constexpr wchar_t kFailWriteCode[] = L"FailWriteCode";
// The removal protocol: handle registrations of the device (all processes) and answered queries.
inline constexpr wchar_t kHandleRegistrations[] = L"HandleRegistrations";
inline constexpr wchar_t kQueryAnswered[] = L"QueryAnswered";
inline constexpr wchar_t kQueryPosition[] = L"QueryPosition"; // 1-based, in the handle events

// Counts any process adds ("Count.*").
inline constexpr wchar_t kFailedTransfers[] = L"Count.FailedTransfers";
inline constexpr wchar_t kCancelledTransfers[] = L"Count.CancelledTransfers";
inline constexpr wchar_t kFailedReadsInjected[] = L"Count.FailedReadsInjected";
inline constexpr wchar_t kFailedWritesInjected[] = L"Count.FailedWritesInjected";
inline constexpr wchar_t kVetoesOpenHandle[] = L"Count.VetoesOpenHandle";
inline constexpr wchar_t kVetoesWorld[] = L"Count.VetoesWorld";
inline constexpr wchar_t kVetoesCallback[] = L"Count.VetoesCallback";
inline constexpr wchar_t kLateRemovals[] = L"Count.LateRemovals";
inline constexpr wchar_t kUnregisterInCallback[] = L"Count.UnregisterInCallback";

} // namespace simulation::values
