// "Key = Value" configuration lines: "#" begins a comment line, blank lines
// are skipped, spaces around key and value are dropped.
#pragma once

#include <functional>
#include <string_view>

void ForEachKeyValue(std::string_view text,
                     const std::function<void(std::string_view key, std::string_view value)>& fn);

// Decimal integer of a setting value; `def` when it is not one.
long long SettingInt(std::string_view value, long long def);
