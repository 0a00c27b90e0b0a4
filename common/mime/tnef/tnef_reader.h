// A reader of TNEF streams (the "application/ms-tnef" parts, "winmail.dat",
// that some mail programs wrap their attachments in).
//
// A stream is a 32-bit signature, a 16-bit key, then attributes: a level
// byte, a 32-bit tag (attribute id in the low 16 bits, value type in the
// high 16), a 32-bit length, the value, and a 16-bit checksum (the sum of
// the value's bytes). Numbers are little-endian. An attached file starts at
// its attAttachRenddata attribute; its bytes are attAttachData, its title
// attAttachTitle, and attAttachment holds its MAPI properties.
//
// The reader takes what the system needs from a stream: per attached file
// its bytes, its title, its name properties and the stream's OEM code page.
// Every length is checked against the bytes that remain and nothing is
// allocated by a count or length the stream declares, so a damaged stream
// costs at most its own size in memory. Damage is recorded in the status
// bits, never a failure: what was read before it is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The first four bytes of every stream (little-endian).
inline constexpr std::uint32_t kTnefSignature = 0x223e9f78;

// Attribute ids (the low 16 bits of a tag).
inline constexpr std::uint16_t kTnefAttAttachRenddata = 0x9002;  // starts an attached file
inline constexpr std::uint16_t kTnefAttAttachData = 0x800f;      // the file's bytes
inline constexpr std::uint16_t kTnefAttAttachTitle = 0x8010;     // its title, NUL-terminated
inline constexpr std::uint16_t kTnefAttAttachment = 0x9005;      // its MAPI properties
inline constexpr std::uint16_t kTnefAttOemCodepage = 0x9007;     // the stream's code page

// MAPI property ids the reader keeps, and their value types.
inline constexpr std::uint16_t kTnefPropDisplayName = 0x3001;
inline constexpr std::uint16_t kTnefPropAttachDataObj = 0x3701;
inline constexpr std::uint16_t kTnefPropAttachExtension = 0x3703;
inline constexpr std::uint16_t kTnefPropAttachFilename = 0x3704;
inline constexpr std::uint16_t kTnefPropAttachLongFilename = 0x3707;
inline constexpr std::uint16_t kTnefTypeString8 = 0x001e;  // bytes in the stream's code page
inline constexpr std::uint16_t kTnefTypeUnicode = 0x001f;  // UTF-16LE
inline constexpr std::uint16_t kTnefTypeBinary = 0x0102;
inline constexpr std::uint16_t kTnefTypeObject = 0x000d;  // a 16-byte interface id, then the object

// Status bits of a read: damage met and stepped over.
inline constexpr int kTnefBadChecksum = 0x1;    // an attribute's checksum did not match
inline constexpr int kTnefCut = 0x2;            // the stream ends inside an attribute
inline constexpr int kTnefBadProperties = 0x4;  // a property list could not be read to its end
inline constexpr int kTnefStray = 0x8;          // file attributes before the first file (ignored)
inline constexpr int kTnefFileLimit = 0x10;     // reading stopped at the file limit

// A string property of a file. `value` ends before the first NUL: as stored
// for kTnefTypeString8, converted to UTF-8 for kTnefTypeUnicode.
struct TnefProperty {
  std::uint16_t id = 0;
  std::uint16_t type = 0;
  std::string value;
};

struct TnefAttachment {
  // The file's bytes, a view into the stream: attAttachData, or, for a file
  // without one, the PR_ATTACH_DATA_OBJ property (the object after its
  // interface id). Never empty in a read's result.
  std::span<const unsigned char> data;
  bool cut = false;  // the stream ended inside the data: `data` is a leading piece
  bool has_title = false;
  std::string title;  // attAttachTitle up to its NUL, as stored
  // The name properties (display name, attach extension, file name, long
  // file name) as strings, each id once: the first extension, and the last
  // value of each other id. (Which name wins depends only on these: see
  // TNEF_AttachName.) In the order the ids first appeared.
  std::vector<TnefProperty> properties;
  std::uint32_t code_page = 0;  // the stream's OEM code page; 0 when it gives none
};

struct TnefStream {
  std::vector<TnefAttachment> files;  // in stream order
  std::uint32_t code_page = 0;
  int status = 0;  // kTnef... bits
};

// Reads the stream in `bytes`, which must outlive `out` (file bytes are
// views into it). `out.files` holds the attached files that have at least
// one byte, in stream order, at most `max_files` of them (when another file
// follows, reading stops there with kTnefFileLimit). A file cut short by the
// end of the stream keeps the bytes that are there. Answers 0, or -1 when the
// bytes do not begin with the signature (then nothing is read).
int TNEF_Read(std::span<const unsigned char> bytes, TnefStream& out,
              std::size_t max_files = SIZE_MAX);

// UTF-16LE text (an odd last byte ignored) as UTF-8, up to the first U+0000;
// a lone surrogate becomes U+FFFD.
std::string TNEF_Utf16ToUtf8(std::span<const unsigned char> bytes);
