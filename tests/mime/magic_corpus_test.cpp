// The site's magic rules (conf/magic) against one small sample of every kind
// of file they know. Each sample holds the bytes the rules look at plus some
// filler, and is guessed under a name the (empty) type list does not know, so
// the answer comes from the rules alone. Text and random bytes must stay
// unmatched.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/mime/types/content_type.h"
#include "support/test_root.h"

using namespace std::string_literals;
using testing_support::TestRoot;

namespace {

std::string Le16(unsigned v) {
  return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
}
std::string Le32(std::uint32_t v) {
  return Le16(v & 0xffff) + Le16(v >> 16);
}

// Bytes 0, 1, ... 255, 0, ...: plainly binary and no signature of its own.
std::string Filler(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i);
  return s;
}

// A stored ZIP member: local file header, name, extra field, data. The CRC
// and times stay 0; the rules never read them.
std::string ZipEntry(std::string_view name, std::string_view data, std::string_view extra = "") {
  return "PK\x03\x04"s + Le16(20) + Le16(0) + Le16(0) + Le16(0) + Le16(0) + Le32(0) +
         Le32(data.size()) + Le32(data.size()) + Le16(name.size()) + Le16(extra.size()) +
         std::string(name) + std::string(extra) + std::string(data);
}

// An OLE2 compound file: its 512-byte header, then a directory sector with the
// root entry and one stream named `stream` (entries are 128 bytes, the name
// in UTF-16LE first).
std::string Ole(std::string_view stream) {
  auto entry = [](std::string_view name) {
    std::string e(128, '\0');
    for (std::size_t i = 0; i < name.size(); ++i) e[2 * i] = name[i];
    return e;
  };
  std::string header = "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"s + Le16(0x3e) + Le16(3) + Le16(0xfffe);
  header.resize(512, '\0');
  return header + entry("Root Entry") + entry(stream);
}

// A one-member tar archive with the given magic at 257.
std::string Tar(std::string_view magic) {
  std::string header(512, '\0');
  header.replace(0, 9, "hello.txt");
  header.replace(100, 8, "0000644\0"s);
  header.replace(257, magic.size(), magic);
  std::string data = "hello\n";
  data.resize(512, '\0');
  return header + data + std::string(1024, '\0');
}

// An ELF header of class 64, the given byte order (1 little, 2 big) and object
// type, followed by `rest`.
std::string Elf(int order, unsigned type, std::string_view rest) {
  std::string e_type = Le16(type);
  if (order == 2) std::swap(e_type[0], e_type[1]);
  return "\x7f"s + "ELF" + '\x02' + static_cast<char>(order) + "\x01" + std::string(9, '\0') +
         e_type + std::string(46, '\0') + std::string(rest);
}

std::string Hex(std::string_view bytes) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size() && i < 24; ++i) {
    std::snprintf(buf, sizeof buf, "%02x ", static_cast<unsigned char>(bytes[i]));
    out += buf;
  }
  return out + (bytes.size() > 24 ? "..." : "");
}

struct Sample {
  const char* name;
  std::string bytes;
  const char* type;
};

std::vector<Sample> Corpus() {
  const std::string ooxml_head =
      ZipEntry("[Content_Types].xml", "<?xml version=\"1.0\"?><Types/>") +
      ZipEntry("_rels/.rels", "<Relationships/>");
  const std::string odf = "application/vnd.oasis.opendocument.";
  const std::string odf_body = ZipEntry("content.xml", "<office:document-content/>");
  const std::string interp = "/lib64/ld-linux-x86-64.so.2\0"s;
  return {
      // Images.
      {"png", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR"s + Filler(32), "image/png"},
      {"jpeg", "\xff\xd8\xff\xe0\0\x10JFIF\0"s + Filler(32), "image/jpeg"},
      {"gif87a", "GIF87a\x10\0\x10\0"s + Filler(32), "image/gif"},
      {"gif89a", "GIF89a\x10\0\x10\0"s + Filler(32), "image/gif"},
      {"bmp", "BM"s + Le32(70) + Le32(0) + Le32(54) + Le32(40) + Filler(32), "image/bmp"},
      {"tiff little-endian", "II*\0\x08\0\0\0"s + Filler(32), "image/tiff"},
      {"tiff big-endian", "MM\0*\0\0\0\x08"s + Filler(32), "image/tiff"},
      {"webp", "RIFF"s + Le32(36) + "WEBPVP8 " + Filler(32), "image/webp"},
      {"ico", "\0\0\1\0\1\0\x10\x10\0\0\1\0\x20\0"s + Le32(0x468) + Le32(22) + Filler(32),
       "image/vnd.microsoft.icon"},
      // Documents.
      {"pdf", "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n"s, "application/pdf"},
      {"postscript", "%!PS-Adobe-3.0\n%%Creator: sample\n"s, "application/postscript"},
      {"rtf", "{\\rtf1\\ansi\\deff0 hello}"s, "application/rtf"},
      {"ole generic", Ole(""), "application/x-ole-storage"},
      {"ole word", Ole("WordDocument"), "application/msword"},
      {"ole excel", Ole("Workbook"), "application/vnd.ms-excel"},
      {"ole powerpoint", Ole("PowerPoint Document"), "application/vnd.ms-powerpoint"},
      {"tnef", "\x78\x9f\x3e\x22\x01\0\x01\x06\x90\x08\0"s + Filler(32), "application/ms-tnef"},
      // ZIP and the formats built on it.
      {"zip", ZipEntry("hello.txt", "hello\n") + ZipEntry("b.txt", "b"), "application/zip"},
      {"zip empty", "PK\x05\x06"s + std::string(18, '\0'), "application/zip"},
      {"docx", ooxml_head + ZipEntry("word/document.xml", "<w:document/>"),
       "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"xlsx", ooxml_head + ZipEntry("xl/workbook.xml", "<workbook/>"),
       "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {"pptx", ooxml_head + ZipEntry("ppt/presentation.xml", "<p:presentation/>"),
       "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
      {"ooxml of another kind", ooxml_head + ZipEntry("visio/document.xml", "<x/>"),
       "application/zip"},
      {"odt", ZipEntry("mimetype", odf + "text") + odf_body,
       "application/vnd.oasis.opendocument.text"},
      {"ods", ZipEntry("mimetype", odf + "spreadsheet") + odf_body,
       "application/vnd.oasis.opendocument.spreadsheet"},
      {"odp", ZipEntry("mimetype", odf + "presentation") + odf_body,
       "application/vnd.oasis.opendocument.presentation"},
      {"ott", ZipEntry("mimetype", odf + "text-template") + odf_body,
       "application/vnd.oasis.opendocument.text-template"},
      {"odt with extra field", ZipEntry("mimetype", odf + "text", "\xfe\xca\0\0"s) + odf_body,
       "application/vnd.oasis.opendocument.text"},
      {"odf of another kind", ZipEntry("mimetype", odf + "chart") + odf_body, "application/zip"},
      {"epub", ZipEntry("mimetype", "application/epub+zip") + odf_body, "application/epub+zip"},
      // Compressed files and archives.
      {"gzip", "\x1f\x8b\x08\0\0\0\0\0\0\x03"s + Filler(32), "application/gzip"},
      {"bzip2", "BZh91AY&SY"s + Filler(32), "application/x-bzip2"},
      {"xz", "\xfd"s + "7zXZ\0\0\x04"s + Filler(32), "application/x-xz"},
      {"7z", "7z\xbc\xaf\x27\x1c\0\x04"s + Filler(32), "application/x-7z-compressed"},
      {"rar4", "Rar!\x1a\x07\0\xcf\x90\x73"s + Filler(32), "application/vnd.rar"},
      {"rar5", "Rar!\x1a\x07\x01\0"s + Filler(32), "application/vnd.rar"},
      {"tar posix", Tar("ustar"s + '\0' + "00"), "application/x-tar"},
      {"tar gnu", Tar("ustar  \0"s), "application/x-tar"},
      // Markup and text formats.
      {"html doctype", "<!DOCTYPE html>\n<html><body>x</body></html>\n"s, "text/html"},
      {"html after white space", "\r\n  \t<html lang=\"en\"><head></head></html>\n"s, "text/html"},
      {"html upper case", "<HTML><BODY>x</BODY></HTML>\n"s, "text/html"},
      {"html after bom", "\xef\xbb\xbf<!doctype HTML>\n<html></html>\n"s, "text/html"},
      {"html after comment", "<!-- saved from url=(0019)http://example.com -->\n<HTML></HTML>\n"s,
       "text/html"},
      {"xml", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<note/>\n"s, "text/xml"},
      {"vcard", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:A\r\nEND:VCARD\r\n"s, "text/x-vcard"},
      {"icalendar", "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nEND:VCALENDAR\r\n"s, "text/calendar"},
      // Mail messages.
      {"mail received", "Received: from a by b; Mon, 1 Jan 2024 00:00:00 +0000\r\n\r\nbody\r\n"s,
       "message/rfc822"},
      {"mail return-path", "Return-path: <a@example.com>\nX: y\n\nbody\n"s, "message/rfc822"},
      {"mail delivered-to", "Delivered-To: a@example.com\n\nbody\n"s, "message/rfc822"},
      {"mail message-id", "Message-ID: <1@example.com>\n\nbody\n"s, "message/rfc822"},
      {"mail mime-version", "MIME-Version: 1.0\n\nbody\n"s, "message/rfc822"},
      {"mail from", "From: a@example.com\nTo: b@example.com\n\nbody\n"s, "message/rfc822"},
      {"mail date", "Date: Mon, 1 Jan 2024 00:00:00 +0000\r\nFrom: a\r\n\r\nbody\r\n"s,
       "message/rfc822"},
      {"mail subject", "Subject: hi\nX-Mailer: m\nfrom: a\n\nbody\n"s, "message/rfc822"},
      {"mbox", "From a@example.com  Mon Jan  1 00:00:00 2024\nFrom: a\n\nbody\n"s,
       "message/rfc822"},
      // Audio.
      {"mp3 id3", "ID3\x03\0\0\0\0\0\x0a"s + Filler(32), "audio/mpeg"},
      {"mp3 frame fffb", "\xff\xfb\x90\x64"s + std::string(64, '\0'), "audio/mpeg"},
      {"mp3 frame fff3", "\xff\xf3\x48\xc4"s + std::string(64, '\0'), "audio/mpeg"},
      {"mp3 frame fff2", "\xff\xf2\x48\xc4"s + std::string(64, '\0'), "audio/mpeg"},
      {"wav", "RIFF"s + Le32(36) + "WAVEfmt " + Le32(16) + Filler(32), "audio/x-wav"},
      {"ogg vorbis", "OggS\0\x02"s + std::string(20, '\0') + "\x01\x1e\x01vorbis" + Filler(32),
       "audio/ogg"},
      {"ogg theora", "OggS\0\x02"s + std::string(20, '\0') + "\x01\x2a\x80theora" + Filler(32),
       "video/ogg"},
      {"ogg unknown codec",
       "OggS\0\x02"s + std::string(20, '\0') + "\x01\x2a"s + "abcdef" + Filler(32),
       "application/ogg"},
      {"midi", "MThd\0\0\0\x06\0\x01\0\x02\x01\xe0MTrk"s + Filler(32), "audio/midi"},
      {"flac", "fLaC\0\0\0\x22"s + Filler(32), "audio/flac"},
      {"aac adts", "\xff\xf1\x50\x80\x2e\x7f\xfc"s + std::string(64, '\0'), "audio/aac"},
      {"amr", "#!AMR\n\x3c"s + Filler(32), "audio/AMR"},
      {"amr wide band", "#!AMR-WB\n\x04"s + Filler(32), "audio/AMR-WB"},
      {"sun audio", ".snd\0\0\0\x18\xff\xff\xff\xff\0\0\0\x01"s + Filler(32), "audio/basic"},
      {"midi in riff", "RIFF"s + Le32(36) + "RMIDdata" + Filler(32), "audio/midi"},
      // Video.
      {"mp4 isom", "\0\0\0\x18"s + "ftypisom\0\0\x02\0isomiso2"s + Filler(32), "video/mp4"},
      {"mp4 mp42", "\0\0\0\x18"s + "ftypmp42\0\0\0\0mp42isom"s + Filler(32), "video/mp4"},
      {"m4a", "\0\0\0\x18"s + "ftypM4A \0\0\0\0M4A mp42"s + Filler(32), "audio/mp4"},
      {"avif", "\0\0\0\x1c"s + "ftypavif\0\0\0\0avifmif1miaf"s + Filler(32), "image/avif"},
      {"heic", "\0\0\0\x18"s + "ftypheic\0\0\0\0mif1heic"s + Filler(32), "image/heic"},
      {"heif", "\0\0\0\x18"s + "ftypmif1\0\0\0\0mif1heic"s + Filler(32), "image/heif"},
      {"avi", "RIFF"s + Le32(36) + "AVI LIST" + Filler(32), "video/x-msvideo"},
      {"webm", "\x1a\x45\xdf\xa3\x9f\x42\x86\x81\x01\x42\x82\x84webm\x42\x87\x81\x04"s + Filler(32),
       "video/webm"},
      {"flash", "FWS\x0a"s + Le32(1000) + Filler(32), "application/x-shockwave-flash"},
      {"flash zlib", "CWS\x0a"s + Le32(1000) + "\x78\x9c" + Filler(32),
       "application/x-shockwave-flash"},
      {"flash lzma", "ZWS\x0d"s + Le32(1000) + Filler(32), "application/x-shockwave-flash"},
      // Executables.
      {"windows exe",
       "MZ\x90\0\x03\0\0\0\x04\0\0\0\xff\xff\0\0"s + std::string(44, '\0') + Le32(0x80) +
           std::string(64, '\0') + "PE\0\0"s + Filler(32),
       "application/x-msdownload"},
      {"elf executable", Elf(1, 2, Filler(64)), "application/x-executable"},
      {"elf position-independent", Elf(1, 3, std::string(56, '\0') + interp),
       "application/x-executable"},
      {"elf shared library", Elf(1, 3, Filler(64)), "application/x-sharedlib"},
      {"elf big-endian", Elf(2, 2, Filler(64)), "application/x-executable"},
  };
}

class MagicCorpus : public ::testing::Test {
 protected:
  // CT_Guess reads the rules once per process, so one root serves every test.
  static void SetUpTestSuite() {
    root_ = std::make_unique<TestRoot>();
    std::ifstream in(std::string(AD_SOURCE_DIR) + "/conf/magic", std::ios::binary);
    std::ostringstream rules;
    rules << in.rdbuf();
    if (rules.str().empty()) ADD_FAILURE() << "conf/magic is missing or empty";
    root_->Write("httpd/conf/magic", rules.str());
    root_->Write("httpd/conf/mime.types", "");
  }
  static void TearDownTestSuite() { root_.reset(); }

  static std::string Guess(std::string_view bytes) {
    return CT_Guess(bytes.data(), bytes.size(), "sample");
  }

  static inline std::unique_ptr<TestRoot> root_;
};

TEST_F(MagicCorpus, EverySampleGetsItsType) {
  for (const Sample& s : Corpus()) {
    EXPECT_EQ(Guess(s.bytes), s.type) << s.name << ": " << Hex(s.bytes);
  }
}

// Texts that begin like a signature, or like a message with a single header,
// match no rule.
TEST_F(MagicCorpus, TextStaysText) {
  const char* texts[] = {
      "Hello,\nthis is a plain note.\n",
      "From the start of the year we planned to travel.\n",
      "From me to you, Mon Jan 1\n",
      "Subject: the meeting\n\nWe met at noon.\n",
      "Date: Tuesday\nPlace: the office\n",
      "BMW and Audi are cars.\n",
      "MZ is a motorcycle brand.\n",
      "CWS\tweekly report\n",
      "FWS 2024 results\n",
      "ID3 tags carry titles.\n",
      "PK is a short name.\n",
      "RIFF raff\n",
      "OggS are not here\n",
      "BZh9 looks like bzip\n",
      "<p>Just a paragraph</p>\n",
      "<!-- a comment -->\n<root/>\n",
      "%!\nnot quite PostScript\n",
  };
  for (const char* text : texts) {
    EXPECT_EQ(Guess(text), "text/plain") << testing_support::Visible(text);
  }
}

TEST_F(MagicCorpus, RandomBytesMatchNoRule) {
  std::mt19937 gen(20240501);  // its output sequence is fixed by the standard
  for (int i = 0; i < 200; ++i) {
    std::string bytes(512, '\0');
    for (char& c : bytes) c = static_cast<char>(gen() & 0xff);
    EXPECT_EQ(Guess(bytes), "application/octet-stream") << "buffer " << i << ": " << Hex(bytes);
  }
}

}  // namespace
