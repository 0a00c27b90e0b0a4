#include "common/mime/tnef/tnef_reader.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace {

using Bytes = std::span<const unsigned char>;

// A stream starts with the signature and a 16-bit key.
constexpr std::size_t kStreamHead = 6;
// Size of a named property's GUID, and of an object value's interface id.
constexpr std::size_t kGuidSize = 16;
// Property ids from here on are named: a GUID and a name or number follow the tag.
constexpr std::uint16_t kFirstNamedId = 0x8000;
constexpr std::uint16_t kMultiValued = 0x1000;
constexpr std::uint32_t kNamedById = 0;

std::uint16_t U16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Reads from a byte range; every read checks what remains and fails without
// moving when it is not there.
class Cursor {
 public:
  explicit Cursor(Bytes bytes) : bytes_(bytes) {}
  std::size_t left() const { return bytes_.size(); }
  bool Read32(std::uint32_t& v) {
    if (bytes_.size() < 4) return false;
    v = U32(bytes_.data());
    bytes_ = bytes_.subspan(4);
    return true;
  }
  bool Read16(std::uint16_t& v) {
    if (bytes_.size() < 2) return false;
    v = U16(bytes_.data());
    bytes_ = bytes_.subspan(2);
    return true;
  }
  bool Take(std::size_t n, Bytes& out) {
    if (bytes_.size() < n) return false;
    out = bytes_.first(n);
    bytes_ = bytes_.subspan(n);
    return true;
  }
  bool Skip(std::size_t n) {
    Bytes ignored;
    return Take(n, ignored);
  }
  // Values are padded to a multiple of four bytes; a stream that ends inside
  // the padding of its last value is accepted.
  void SkipPadding(std::size_t value_length) {
    std::size_t pad = (4 - value_length % 4) % 4;
    bytes_ = bytes_.subspan(std::min(pad, bytes_.size()));
  }

 private:
  Bytes bytes_;
};

// The size of one value of a fixed-size property type as the stream holds
// it (2-byte values take 4); 0 for a variable-size type, -1 for a type whose
// size is unknown.
int FixedSize(std::uint16_t type) {
  switch (type) {
    case 0x0001:  // PT_NULL
    case 0x0002:  // PT_I2
    case 0x0003:  // PT_LONG
    case 0x0004:  // PT_R4
    case 0x000a:  // PT_ERROR
    case 0x000b:  // PT_BOOLEAN
      return 4;
    case 0x0005:  // PT_DOUBLE
    case 0x0006:  // PT_CURRENCY
    case 0x0007:  // PT_APPTIME
    case 0x0014:  // PT_I8
    case 0x0040:  // PT_SYSTIME
      return 8;
    case 0x0048:  // PT_CLSID
      return 16;
    case kTnefTypeObject:
    case kTnefTypeString8:
    case kTnefTypeUnicode:
    case kTnefTypeBinary:
      return 0;
    default:
      return -1;
  }
}

bool IsNameProperty(std::uint16_t id) {
  return id == kTnefPropDisplayName || id == kTnefPropAttachExtension ||
         id == kTnefPropAttachFilename || id == kTnefPropAttachLongFilename;
}

std::string String8(Bytes value) {
  auto nul = std::find(value.begin(), value.end(), 0);
  return std::string(value.begin(), nul);
}

void PutUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3f));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

// One file being read: what its attributes gave so far.
struct FileInProgress {
  TnefAttachment file;
  Bytes data_object;  // PR_ATTACH_DATA_OBJ, used when there is no attAttachData
};

class Reader {
 public:
  Reader(TnefStream& out, std::size_t max_files) : out_(out), max_files_(max_files) {}

  void Run(Cursor& in) {
    while (in.left() > 0 && Attribute(in)) {
    }
    FinishFile();
    for (TnefAttachment& f : out_.files) f.code_page = out_.code_page;
  }

 private:
  // One attribute (a level byte, the tag, the length, the value and the
  // checksum); false when reading stops.
  bool Attribute(Cursor& in) {
    std::uint32_t tag = 0, length = 0;
    if (!in.Skip(1) || !in.Read32(tag) || !in.Read32(length)) {
      out_.status |= kTnefCut;
      return false;
    }
    Bytes value;
    const bool cut = !in.Take(length, value);
    if (cut) in.Take(in.left(), value);  // what there is of it
    if (!Dispatch(static_cast<std::uint16_t>(tag & 0xffff), value, cut)) return false;
    std::uint16_t checksum = 0;
    if (cut || !in.Read16(checksum)) {
      out_.status |= kTnefCut;
      return false;
    }
    std::uint32_t sum = 0;
    for (unsigned char b : value) sum += b;
    if ((sum & 0xffff) != checksum) out_.status |= kTnefBadChecksum;
    return true;
  }

  // Acts on one attribute's value; false when reading stops.
  bool Dispatch(std::uint16_t id, Bytes value, bool cut) {
    switch (id) {
      case kTnefAttAttachRenddata:
        FinishFile();
        if (out_.files.size() >= max_files_) {
          out_.status |= kTnefFileLimit;
          return false;
        }
        current_ = FileInProgress{};
        in_file_ = true;
        return true;
      case kTnefAttOemCodepage:
        if (value.size() >= 4) out_.code_page = U32(value.data());
        return true;
      case kTnefAttAttachData:
      case kTnefAttAttachTitle:
      case kTnefAttAttachment:
        break;
      default:
        return true;
    }
    if (!in_file_) {
      out_.status |= kTnefStray;
      return true;
    }
    TnefAttachment& file = current_.file;
    if (id == kTnefAttAttachData) {
      // A later data attribute replaces an earlier one only when it has bytes.
      if (!value.empty() || file.data.empty()) {
        file.data = value;
        file.cut = cut;
      }
    } else if (id == kTnefAttAttachTitle) {
      file.has_title = true;
      file.title = String8(value);
    } else {
      Properties(value);
    }
    return true;
  }

  // A MAPI property list: a count, then per property its type and id (a
  // named property adds a GUID and a number or a name), a value count for
  // multi-valued and variable-size types, and the values.
  void Properties(Bytes block) {
    if (block.empty()) return;  // a zero-length attribute: no properties
    Cursor in(block);
    std::uint32_t count = 0;
    if (!in.Read32(count)) {
      out_.status |= kTnefBadProperties;
      return;
    }
    // Each property takes at least four bytes, so the loop ends with the block
    // whatever the count claims.
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!Property(in)) {
        out_.status |= kTnefBadProperties;
        return;
      }
    }
  }

  bool Property(Cursor& in) {
    std::uint16_t type = 0, id = 0;
    if (!in.Read16(type) || !in.Read16(id)) return false;
    if (id >= kFirstNamedId) {
      std::uint32_t kind = 0, n = 0;
      if (!in.Skip(kGuidSize) || !in.Read32(kind) || !in.Read32(n)) return false;
      if (kind != kNamedById) {  // n is the length of a UTF-16 name
        if (!in.Skip(n)) return false;
        in.SkipPadding(n);
      }
    }
    const bool multi = (type & kMultiValued) != 0;
    const std::uint16_t base = static_cast<std::uint16_t>(type & ~kMultiValued);
    const int fixed = FixedSize(base);
    if (fixed < 0) return false;  // the size of what follows is unknown
    std::uint32_t values = 1;
    if ((multi || fixed == 0) && !in.Read32(values)) return false;
    for (std::uint32_t v = 0; v < values; ++v) {
      if (fixed > 0) {
        if (!in.Skip(static_cast<std::size_t>(fixed))) return false;
        continue;
      }
      std::uint32_t length = 0;
      Bytes value;
      if (!in.Read32(length) || !in.Take(length, value)) return false;
      in.SkipPadding(length);
      if (!multi && v == 0) Keep(id, base, value);
    }
    return true;
  }

  void Keep(std::uint16_t id, std::uint16_t type, Bytes value) {
    if (id == kTnefPropAttachDataObj) {
      if (!current_.data_object.empty()) return;
      if (type == kTnefTypeBinary) {
        current_.data_object = value;
      } else if (type == kTnefTypeObject && value.size() > kGuidSize) {
        current_.data_object = value.subspan(kGuidSize);
      }
      return;
    }
    if (!IsNameProperty(id) || (type != kTnefTypeString8 && type != kTnefTypeUnicode)) return;
    std::vector<TnefProperty>& props = current_.file.properties;
    auto same = std::find_if(props.begin(), props.end(),
                             [id](const TnefProperty& p) { return p.id == id; });
    // Only the first extension counts (it is appended to the default name
    // only while no other name has been seen); of the other ids the last.
    if (same != props.end() && id == kTnefPropAttachExtension) return;
    TnefProperty p{id, type, type == kTnefTypeUnicode ? TNEF_Utf16ToUtf8(value) : String8(value)};
    if (same != props.end()) {
      *same = std::move(p);
    } else {
      props.push_back(std::move(p));
    }
  }

  void FinishFile() {
    if (!in_file_) return;
    in_file_ = false;
    TnefAttachment& file = current_.file;
    if (file.data.empty()) file.data = current_.data_object;
    if (!file.data.empty()) out_.files.push_back(std::move(file));
    current_ = FileInProgress{};
  }

  TnefStream& out_;
  std::size_t max_files_;
  // The file being read, from its attAttachRenddata on. (A plain member and a
  // flag rather than std::optional: GCC 12 takes the vector inside an
  // optional for uninitialised.)
  FileInProgress current_;
  bool in_file_ = false;
};

}  // namespace

int TNEF_Read(Bytes bytes, TnefStream& out, std::size_t max_files) {
  out = TnefStream{};
  if (bytes.size() < kStreamHead || U32(bytes.data()) != kTnefSignature) return -1;
  Cursor in(bytes.subspan(kStreamHead));
  Reader(out, max_files).Run(in);
  return 0;
}

std::string TNEF_Utf16ToUtf8(Bytes bytes) {
  std::string out;
  const std::size_t units = bytes.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t u = U16(bytes.data() + 2 * i);
    if (u == 0) break;
    if (u >= 0xd800 && u < 0xdc00 && i + 1 < units) {
      std::uint32_t low = U16(bytes.data() + 2 * (i + 1));
      if (low >= 0xdc00 && low < 0xe000) {
        PutUtf8(out, 0x10000 + ((u - 0xd800) << 10) + (low - 0xdc00));
        ++i;
        continue;
      }
    }
    if (u >= 0xd800 && u < 0xe000) u = 0xfffd;
    PutUtf8(out, u);
  }
  return out;
}
