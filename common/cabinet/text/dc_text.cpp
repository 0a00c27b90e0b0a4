#include "common/cabinet/text/dc_text.h"

#include <cstdio>

namespace {

bool Replaced(char c) {
  switch (c) {
    case ' ':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
      return true;
    default:
      return false;
  }
}

// How far the text held back reads as a numeric character reference.
enum class Ref {
  kNone,
  kAmp,        // "&"
  kHash,       // "&#"
  kDecimal,    // "&#" and decimal digits
  kHexPrefix,  // "&#x"
  kHex,        // "&#x" and hexadecimal digits
};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The state after `c` continues the reference, or kNone when it cannot.
Ref Continue(Ref state, char c) {
  switch (state) {
    case Ref::kAmp:
      return c == '#' ? Ref::kHash : Ref::kNone;
    case Ref::kHash:
      if (IsDigit(c)) return Ref::kDecimal;
      return c == 'x' || c == 'X' ? Ref::kHexPrefix : Ref::kNone;
    case Ref::kDecimal:
      return IsDigit(c) ? Ref::kDecimal : Ref::kNone;
    case Ref::kHexPrefix:
    case Ref::kHex:
      return IsHexDigit(c) ? Ref::kHex : Ref::kNone;
    case Ref::kNone:
      break;
  }
  return Ref::kNone;
}

}  // namespace

std::string DC_SafeName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  std::string held;
  Ref state = Ref::kNone;
  for (char c : name) {
    if (state != Ref::kNone) {
      Ref next = Continue(state, c);
      if (next != Ref::kNone) {
        held += c;
        state = next;
        continue;
      }
      if (c == ';') {
        bool complete = state == Ref::kDecimal || state == Ref::kHex;
        if (!complete) out += held;
        out += '_';
        held.clear();
        state = Ref::kNone;
        continue;
      }
      out += held;
      held.clear();
      state = Ref::kNone;
    }
    if (c == '&') {
      held.assign(1, '&');
      state = Ref::kAmp;
    } else if (c == ';' || Replaced(c)) {
      out += '_';
    } else {
      out += c;
    }
  }
  out += held;
  return out;
}

std::optional<std::string> DC_FormatTime(std::time_t when, int mode) {
  if (mode != kDcTimeSeconds && mode != kDcTimeMinutes) return std::nullopt;
  std::tm tm{};
  if (localtime_r(&when, &tm) == nullptr) return std::nullopt;
  char buffer[96];
  if (mode == kDcTimeSeconds) {
    std::snprintf(buffer, sizeof buffer, "%d/%.2d/%.2d %.2d:%.2d:%.2d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  } else {
    std::snprintf(buffer, sizeof buffer, "%d/%.2d/%.2d %.2d:%.2d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min);
  }
  return std::string(buffer);
}

std::optional<std::string> DC_FormatSize(std::int64_t bytes, int mode) {
  char buffer[64];
  if (mode == kDcSizeUnits) {
    if (bytes < 1024) {
      std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(bytes));
    } else if (bytes > 1048575) {
      std::snprintf(buffer, sizeof buffer, "%.2f M", static_cast<double>(bytes) / 1048576.0);
    } else {
      std::snprintf(buffer, sizeof buffer, "%.2f K", static_cast<double>(bytes) / 1024.0);
    }
    return std::string(buffer);
  }
  if (mode != kDcSizeDigits) return std::nullopt;
  std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(bytes));
  std::string digits = buffer;
  std::string sign;
  if (!digits.empty() && digits[0] == '-') {
    sign = "-";
    digits.erase(0, 1);
  }
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return sign + out;
}
