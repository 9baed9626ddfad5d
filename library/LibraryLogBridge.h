#pragma once
// Bridges the processing library's own log into the program's log (plog::Logger<0>).
//
//   velmar::helper::CDynLoader loader;
//   loader.load(name);
//   InstallLibraryLogBridge(loader);
//
// After installation the library may report on any thread at any time, for the rest of the process
// (also while static objects are being destroyed at exit); each report becomes a record of the same
// severity made on the reporting thread and written synchronously to plog::Logger<0>.
#include "diagnostics/LogSeverity.h"
#include "library/DynLoader.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmar
{

using LibraryLogSink = void (*)(LogSeverity, const std::string&);

// The process-wide sink the library's reports go to; null until the bridge is installed. A plain
// pointer in a constant-initialised atomic: it has no destructor, so a report that arrives while the
// process's static objects are destroyed still finds it.
std::atomic<LibraryLogSink>& LibraryLogSinkSlot() noexcept;

// What the library receives through SetLoggerCallback: the text (up to its NUL) goes to the sink. A
// report that cannot be delivered (no sink installed) is dropped; nothing is thrown into the library.
void VELMAR_CALL LibraryLogCallback(std::int32_t severity, const char* text) noexcept;

// The sink function the bridge installs: UTF-8 text to a record of plog::Logger<0>. Severities 0..9
// are logged when the logger lets them through; anything else (DEBUG, negative values) is dropped.
// The text is escaped first (EscapeLibraryText): it may carry what a web caller typed.
void BridgeLibraryLog(LogSeverity severity, const std::string& text);

// The text with its control characters written out, so that one report stays one line: CR, LF and
// TAB as \r, \n and \t, every other byte below 0x20 and DEL as \xNN (two upper-case hex digits),
// backslash as two backslashes. Other bytes, those of non-ASCII UTF-8 characters included, are kept.
std::string EscapeLibraryText(std::string_view text);

// The maximum severity told to the library: plog::Logger<0>'s maximum when it is 1..10, otherwise
// INFO (also when that logger does not exist).
std::int32_t LibraryLogSeverityFromLogger() noexcept;

} // namespace velmar

// Stores the bridge in the sink, gives the library the callback, then tells it the severity.
void InstallLibraryLogBridge(velmar::helper::CDynLoader& loader);
