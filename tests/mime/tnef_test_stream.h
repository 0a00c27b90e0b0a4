// Builds TNEF streams for the tests, attribute by attribute, with correct
// checksums unless asked otherwise.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tnef_test {

inline void Put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>(v >> 8 & 0xff);
}
inline void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xffff);
  Put16(out, v >> 16);
}
inline std::string Le32(std::uint32_t v) {
  std::string out;
  Put32(out, v);
  return out;
}
inline void Pad(std::string& out, std::size_t length) {
  out.append((4 - length % 4) % 4, '\0');
}

// An ASCII (or Latin-1) text as UTF-16LE, without a terminator.
inline std::string Utf16(std::string_view ascii) {
  std::string out;
  for (unsigned char c : ascii) Put16(out, c);
  return out;
}

// Full attribute tags (type in the high 16 bits).
inline constexpr std::uint32_t kRenddata = 0x00069002;
inline constexpr std::uint32_t kData = 0x0006800f;
inline constexpr std::uint32_t kTitle = 0x00018010;
inline constexpr std::uint32_t kAttachment = 0x00069005;
inline constexpr std::uint32_t kCodePage = 0x00069007;
inline constexpr std::uint32_t kMessageProps = 0x00069003;

// A MAPI property list: the count, then the properties.
class Props {
 public:
  Props& String8(std::uint16_t id, std::string_view text) {
    return Variable(0x001e, id, std::string(text) + '\0');
  }
  // `utf16` is the value's UTF-16LE bytes; a terminator is added.
  Props& Unicode(std::uint16_t id, std::string_view utf16) {
    return Variable(0x001f, id, std::string(utf16) + std::string(2, '\0'));
  }
  Props& Binary(std::uint16_t id, std::string_view bytes) { return Variable(0x0102, id, bytes); }
  Props& Object(std::uint16_t id, std::string_view bytes) {
    return Variable(0x000d, id, std::string(16, 'I') + std::string(bytes));
  }
  Props& Long(std::uint16_t id, std::uint32_t v) {
    Tag(0x0003, id);
    Put32(body_, v);
    ++count_;
    return *this;
  }
  // A named string property (GUID and a UTF-16 name before the value).
  Props& Named(std::string_view name, std::string_view text) {
    Tag(0x001e, 0x8001);
    body_.append(16, 'G');
    Put32(body_, 1);
    std::string n = Utf16(name);
    Put32(body_, static_cast<std::uint32_t>(n.size()));
    body_ += n;
    Pad(body_, n.size());
    Put32(body_, 1);
    std::string v = std::string(text) + '\0';
    Put32(body_, static_cast<std::uint32_t>(v.size()));
    body_ += v;
    Pad(body_, v.size());
    ++count_;
    return *this;
  }
  // Bytes as they stand, counted as `properties` properties.
  Props& Raw(std::string_view bytes, std::uint32_t properties = 1) {
    body_ += bytes;
    count_ += properties;
    return *this;
  }
  Props& Count(std::uint32_t count) {
    count_override_ = count;
    return *this;
  }
  std::string Build() const {
    return Le32(count_override_ != kNoOverride ? count_override_ : count_) + body_;
  }

 private:
  static constexpr std::uint32_t kNoOverride = 0xfffffffe;
  void Tag(std::uint16_t type, std::uint16_t id) {
    Put16(body_, type);
    Put16(body_, id);
  }
  Props& Variable(std::uint16_t type, std::uint16_t id, std::string_view value) {
    Tag(type, id);
    Put32(body_, 1);
    Put32(body_, static_cast<std::uint32_t>(value.size()));
    body_ += value;
    Pad(body_, value.size());
    ++count_;
    return *this;
  }
  std::string body_;
  std::uint32_t count_ = 0;
  std::uint32_t count_override_ = kNoOverride;
};

class Stream {
 public:
  Stream() {
    Put32(bytes_, 0x223e9f78);
    Put16(bytes_, 0x0001);
  }
  Stream& Attr(std::uint32_t tag, std::string_view value, int level = 2, bool good = true) {
    bytes_ += static_cast<char>(level);
    Put32(bytes_, tag);
    Put32(bytes_, static_cast<std::uint32_t>(value.size()));
    bytes_ += value;
    std::uint32_t sum = 0;
    for (unsigned char c : value) sum += c;
    Put16(bytes_, good ? sum & 0xffff : (sum + 1) & 0xffff);
    return *this;
  }
  // An attribute head that declares `length` bytes, followed by `value`
  // only (the stream is meant to end inside it).
  Stream& CutAttr(std::uint32_t tag, std::uint32_t length, std::string_view value) {
    bytes_ += '\x02';
    Put32(bytes_, tag);
    Put32(bytes_, length);
    bytes_ += value;
    return *this;
  }
  Stream& CodePage(std::uint32_t number) { return Attr(kCodePage, Le32(number) + Le32(0), 1); }
  Stream& File() { return Attr(kRenddata, std::string(14, '\0')); }
  Stream& Data(std::string_view bytes) { return Attr(kData, bytes); }
  Stream& Title(std::string_view text) { return Attr(kTitle, std::string(text) + '\0'); }
  Stream& Properties(const Props& props) { return Attr(kAttachment, props.Build()); }
  Stream& Raw(std::string_view bytes) {
    bytes_ += bytes;
    return *this;
  }
  const std::string& bytes() const { return bytes_; }
  std::span<const unsigned char> span() const {
    return {reinterpret_cast<const unsigned char*>(bytes_.data()), bytes_.size()};
  }

 private:
  std::string bytes_;
};

}  // namespace tnef_test
