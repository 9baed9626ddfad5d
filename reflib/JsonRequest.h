#pragma once
// The JSON requests of a process, from the client interface (ProcessJson) and the web server.
// A request is one object with any of these members, carried out in this order:
//   "_auth": {"init": {...}}   set up the access rules (AuthStore.h); administrators only
//   "set": {<setting>: <value>, ...}   change settings (Settings.h) all at once or not at all;
//                                      administrators only
//   "get": null | "<name>" | ["<name>", ...]   read settings and the read-only values "meters",
//                                      "version", "samplerate", "chunk", "delay", "info"; null: all
// The answer names each member it carried out: {"_auth":"ok","set":"ok","get":{...}}. A failure
// carries nothing out and answers {"error":{"code":<status>,"message":"..."}}.
#include "reflib/AuthStore.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace velmar::reflib
{
class CProcess;

struct CJsonAnswer
{
    std::string text;
    std::int32_t status = 0;
};

CJsonAnswer ErrorAnswer(std::int32_t status, const std::string& message);
CJsonAnswer HandleJsonRequest(CProcess& process, std::string_view request, Access access);
// The state shown by the status page: {"processorname", "settings", "meters", ...}.
std::string DescribeProcess(CProcess& process);
} // namespace velmar::reflib
