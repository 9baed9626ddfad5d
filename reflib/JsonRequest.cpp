#include "reflib/JsonRequest.h"

#include "reflib/JsonText.h"
#include "reflib/LibraryVersion.h"
#include "reflib/Process.h"
#include "reflib/RequestStatus.h"
#include "reflib/Settings.h"

#include <exception>
#include <iterator>
#include <vector>

namespace velmar::reflib
{
namespace
{
constexpr const char* kReadOnlyNames[] = {"meters", "version", "samplerate", "chunk", "delay", "info"};

bool IsReadOnlyName(const std::string& name)
{
    for (const char* known : kReadOnlyNames)
    {
        if (name == known)
        {
            return true;
        }
    }
    return false;
}

nlohmann::json MetersJson(const CProcess& process)
{
    const CPeakMeters& meters = process.Meters();
    return {{"input_peak", meters.inputPeak.load()},
            {"output_peak", meters.outputPeak.load()},
            {"blocks", meters.blocks.load()}};
}

nlohmann::json ValueOf(CProcess& process, const nlohmann::json& settings, const std::string& name)
{
    if (name == "meters")
        return MetersJson(process);
    if (name == "version")
        return kLibraryVersion;
    if (name == "samplerate")
        return process.SampleRate();
    if (name == "chunk")
        return process.ChunkFrames();
    if (name == "delay")
        return process.Snapshot()->settings.delayFrames;
    if (name == "info")
        return process.Describe();
    return settings.at(name);
}

// The names a "get" asks for; empty result with `status` set on a bad request.
std::vector<std::string> NamesOf(const nlohmann::json& get, std::int32_t& status, std::string& error)
{
    std::vector<std::string> names;
    if (get.is_null())
    {
        const nlohmann::json defaults = SettingsToJson(CSettings{});
        for (const auto& [name, value] : defaults.items())
        {
            names.push_back(name);
        }
        names.insert(names.end(), std::begin(kReadOnlyNames), std::end(kReadOnlyNames));
        return names;
    }
    if (get.is_string())
    {
        names.push_back(get.get<std::string>());
    }
    else if (get.is_array())
    {
        for (const auto& item : get)
        {
            if (!item.is_string())
            {
                status = kStatusInvalidValue;
                error = "\"get\" takes names";
                return {};
            }
            names.push_back(item.get<std::string>());
        }
    }
    else
    {
        status = kStatusInvalidValue;
        error = "\"get\" takes null, a name or a list of names";
        return {};
    }
    for (const auto& name : names)
    {
        if (!IsSettingName(name) && !IsReadOnlyName(name))
        {
            status = kStatusUnknownKey;
            error = "unknown name \"" + name + "\"";
            return {};
        }
    }
    return names;
}

CJsonAnswer Handle(CProcess& process, std::string_view request, Access access)
{
    const auto json = nlohmann::json::parse(request.begin(), request.end(), nullptr, false);
    if (json.is_discarded())
    {
        return ErrorAnswer(kStatusMalformed, "the request is not valid JSON");
    }
    if (!json.is_object() || json.empty())
    {
        return ErrorAnswer(kStatusMalformed, "the request must be a non-empty object");
    }
    for (const auto& [key, value] : json.items())
    {
        if (key != "_auth" && key != "set" && key != "get")
        {
            return ErrorAnswer(kStatusUnknownKey, "unknown request \"" + key + "\"");
        }
    }
    if ((json.contains("_auth") || json.contains("set")) && access != Access::Admin)
    {
        return ErrorAnswer(kStatusForbidden, "changes need an administrator");
    }
    std::int32_t status = kStatusOk;
    std::string error;
    std::vector<std::string> names;
    if (json.contains("get"))
    {
        names = NamesOf(json["get"], status, error);
        if (status != kStatusOk)
        {
            return ErrorAnswer(status, error);
        }
    }
    // The set is validated before anything is changed, so that an "_auth" is not carried out for a
    // request whose "set" then fails.
    if (json.contains("set"))
    {
        CSettings probe = process.Snapshot()->settings;
        status = ApplySettingsJson(probe, json["set"], true, error);
        if (status != kStatusOk)
        {
            return ErrorAnswer(status, error);
        }
    }
    nlohmann::json answer = nlohmann::json::object();
    if (json.contains("_auth"))
    {
        const auto& auth = json["_auth"];
        if (!auth.is_object() || auth.size() != 1 || !auth.contains("init"))
        {
            return ErrorAnswer(kStatusUnknownKey, "\"_auth\" takes exactly {\"init\": {...}}");
        }
        status = process.Auth().Init(auth["init"], error);
        if (status != kStatusOk)
        {
            return ErrorAnswer(status, error);
        }
        answer["_auth"] = "ok";
    }
    if (json.contains("set"))
    {
        status = process.ApplySettings(json["set"], error);
        if (status != kStatusOk)
        {
            return ErrorAnswer(status, error);
        }
        answer["set"] = "ok";
    }
    if (json.contains("get"))
    {
        const nlohmann::json settings = SettingsToJson(process.Snapshot()->settings);
        nlohmann::json values = nlohmann::json::object();
        for (const auto& name : names)
        {
            values[name] = ValueOf(process, settings, name);
        }
        answer["get"] = std::move(values);
    }
    return {JsonToText(answer), kStatusOk};
}
} // namespace

CJsonAnswer ErrorAnswer(std::int32_t status, const std::string& message)
{
    return {JsonToText(nlohmann::json{{"error", {{"code", status}, {"message", message}}}}), status};
}

CJsonAnswer HandleJsonRequest(CProcess& process, std::string_view request, Access access)
{
    try
    {
        return Handle(process, request, access);
    }
    catch (const std::exception& failure)
    {
        return ErrorAnswer(kStatusInternalError, failure.what());
    }
}

std::string DescribeProcess(CProcess& process)
{
    const auto snapshot = process.Snapshot();
    return JsonToText(nlohmann::json{
        {"processorname", snapshot->settings.processorName},
        {"settings", SettingsToJson(snapshot->settings)},
        {"meters", MetersJson(process)},
        {"version", kLibraryVersion},
        {"samplerate", process.SampleRate()},
        {"chunk", process.ChunkFrames()},
        {"unlogged_access", process.Auth().UnloggedAccess()},
    });
}
} // namespace velmar::reflib
