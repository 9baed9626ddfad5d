#pragma once
// The settings of one process: its processor name and the parameters of its DSP chain. Their JSON
// form (state.json, "set" and "get" requests) has one member per setting:
//   "processorname"     text, at most 256 bytes                          default ""
//   "gain_db"           number, -96 to +24                               default 0
//   "filter_type"       "bypass", "lowpass", "highpass" or "peaking"     default "bypass"
//   "filter_frequency"  number, 10 to 20000 (Hz)                         default 1000
//   "filter_q"          number, 0.1 to 20                                default 0.7071
//   "filter_gain_db"    number, -24 to +24 (peaking only)                default 0
//   "delay_frames"      integer, 0 to 4800                               default 0
#include "reflib/Biquad.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace velmar::reflib
{
constexpr std::int32_t kMaxDelayFrames = 4800;

struct CSettings
{
    std::string processorName;
    double gainDb = 0.0;
    FilterType filterType = FilterType::Bypass;
    double filterFrequency = 1000.0;
    double filterQ = 0.7071;
    double filterGainDb = 0.0;
    std::int32_t delayFrames = 0;

    bool operator==(const CSettings&) const = default;
};

nlohmann::json SettingsToJson(const CSettings& settings);
bool IsSettingName(const std::string& name);

// Applies the members of `object` to `settings`. Strict: stops at the first bad member and returns its
// status (the caller discards the partly changed copy). Lenient (reading a stored file): skips bad
// members and applies the rest. Returns kStatusOk or the first error; `error` describes it.
std::int32_t ApplySettingsJson(CSettings& settings, const nlohmann::json& object, bool strict,
                               std::string& error);
} // namespace velmar::reflib
