#include "reflib/Settings.h"

#include "reflib/RequestStatus.h"

#include <array>
#include <cmath>
#include <optional>
#include <string_view>

namespace velmar::reflib
{
namespace
{
constexpr std::size_t kMaxProcessorNameBytes = 256;

struct FilterName
{
    FilterType type;
    const char* name;
};
constexpr std::array<FilterName, 4> kFilterNames = {{
    {FilterType::Bypass, "bypass"},
    {FilterType::LowPass, "lowpass"},
    {FilterType::HighPass, "highpass"},
    {FilterType::Peaking, "peaking"},
}};

constexpr std::array<const char*, 7> kSettingNames = {
    "processorname", "gain_db",        "filter_type",  "filter_frequency",
    "filter_q",      "filter_gain_db", "delay_frames",
};

const char* NameOf(FilterType type)
{
    for (const auto& entry : kFilterNames)
    {
        if (entry.type == type)
        {
            return entry.name;
        }
    }
    return "bypass";
}

std::optional<double> NumberIn(const nlohmann::json& value, double minimum, double maximum)
{
    if (!value.is_number())
    {
        return std::nullopt;
    }
    const double number = value.get<double>();
    if (!std::isfinite(number) || number < minimum || number > maximum)
    {
        return std::nullopt;
    }
    return number;
}

// Applies one member; returns kStatusOk, kStatusUnknownKey or kStatusInvalidValue.
std::int32_t ApplyOne(CSettings& settings, const std::string& key, const nlohmann::json& value)
{
    if (key == "processorname")
    {
        if (!value.is_string() || value.get_ref<const std::string&>().size() > kMaxProcessorNameBytes)
        {
            return kStatusInvalidValue;
        }
        settings.processorName = value.get<std::string>();
        return kStatusOk;
    }
    if (key == "filter_type")
    {
        if (!value.is_string())
        {
            return kStatusInvalidValue;
        }
        for (const auto& entry : kFilterNames)
        {
            if (value.get_ref<const std::string&>() == entry.name)
            {
                settings.filterType = entry.type;
                return kStatusOk;
            }
        }
        return kStatusInvalidValue;
    }
    if (key == "delay_frames")
    {
        if (!value.is_number_integer() || value.get<std::int64_t>() < 0 ||
            value.get<std::int64_t>() > kMaxDelayFrames)
        {
            return kStatusInvalidValue;
        }
        settings.delayFrames = value.get<std::int32_t>();
        return kStatusOk;
    }
    struct NumberSetting
    {
        const char* name;
        double CSettings::*member;
        double minimum;
        double maximum;
    };
    static constexpr NumberSetting kNumbers[] = {
        {"gain_db", &CSettings::gainDb, -96.0, 24.0},
        {"filter_frequency", &CSettings::filterFrequency, 10.0, 20000.0},
        {"filter_q", &CSettings::filterQ, 0.1, 20.0},
        {"filter_gain_db", &CSettings::filterGainDb, -24.0, 24.0},
    };
    for (const auto& number : kNumbers)
    {
        if (key == number.name)
        {
            const auto parsed = NumberIn(value, number.minimum, number.maximum);
            if (!parsed)
            {
                return kStatusInvalidValue;
            }
            settings.*number.member = *parsed;
            return kStatusOk;
        }
    }
    return kStatusUnknownKey;
}
} // namespace

nlohmann::json SettingsToJson(const CSettings& settings)
{
    return nlohmann::json{
        {"processorname", settings.processorName},
        {"gain_db", settings.gainDb},
        {"filter_type", NameOf(settings.filterType)},
        {"filter_frequency", settings.filterFrequency},
        {"filter_q", settings.filterQ},
        {"filter_gain_db", settings.filterGainDb},
        {"delay_frames", settings.delayFrames},
    };
}

bool IsSettingName(const std::string& name)
{
    for (const char* known : kSettingNames)
    {
        if (name == known)
        {
            return true;
        }
    }
    return false;
}

std::int32_t ApplySettingsJson(CSettings& settings, const nlohmann::json& object, bool strict,
                               std::string& error)
{
    if (!object.is_object())
    {
        error = "settings must be an object";
        return kStatusInvalidValue;
    }
    std::int32_t first = kStatusOk;
    for (const auto& [key, value] : object.items())
    {
        const std::int32_t status = ApplyOne(settings, key, value);
        if (status == kStatusOk)
        {
            continue;
        }
        if (first == kStatusOk)
        {
            first = status;
            error =
                (status == kStatusUnknownKey ? "unknown setting \"" : "invalid value for \"") + key + "\"";
        }
        if (strict)
        {
            break;
        }
    }
    return first;
}
} // namespace velmar::reflib
