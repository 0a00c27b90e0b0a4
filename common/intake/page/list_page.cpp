#include "common/intake/page/list_page.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "common/intake/limits.h"
#include "host/account/session.h"
#include "host/base/process.h"
#include "host/charset/charset.h"
#include "host/charset/names.h"
#include "host/text/cgi_escape.h"

namespace intake {

namespace {

constexpr std::size_t kNameBuffer = 4096;
constexpr std::size_t kPiece = 256;

}  // namespace

std::string DisplayName(const AttachRecord& record) {
  int user_value = MLC_CharsetWEncToValue(UserCharset());
  int entry_value = MLC_CharsetWEncToValue(record.charset);
  std::string name(MLG_ExtractFilename(record.name, user_value));
  if (name.size() >= kNameBuffer) name.resize(kNameBuffer - 1);
  if (user_value != 0 && entry_value != 0 && user_value != entry_value) {
    std::string converted;
    if (MLC_Text2UEnc(name, converted, entry_value, user_value) == 0) name = converted;
  }
  std::string escaped = HtmlEscapeKeepingReferences(name);
  if (escaped.size() >= kNameBuffer) return {};
  return escaped;
}

void PrintKeepNames(void* /*argument*/) {
  const AttachTable& t = ATT_Table();
  for (int i = 0; i < t.count; ++i) {
    std::string name = DisplayName(t.records[i]);
    if (name.empty()) continue;
    std::printf("<input type=hidden name=NN value=\"%s\">\n", name.c_str());
  }
}

void PrintChoices(void* sum_argument) {
  auto* sum = static_cast<std::int64_t*>(sum_argument);
  *sum = 0;
  const AttachTable& t = ATT_Table();
  for (int i = 0; i < t.count; ++i) {
    if (i == 0) std::fputs("<select name=choice size=3 multiple>\n", stdout);
    *sum += t.records[i].size;
    std::string name = DisplayName(t.records[i]);
    if (name.empty()) continue;
    std::printf("<option value=%d>%s,&nbsp; %d bytes</option>\n", i, name.c_str(),
                static_cast<int>(t.records[i].size));
  }
  if (t.count > 0) std::fputs("</select>\n", stdout);
}

void PrintSize(void* sum_argument) {
  std::printf("%lld", static_cast<long long>(*static_cast<std::int64_t*>(sum_argument)));
}

void ExitMissingTemplate() {
  OML_HeaderPrint(kOmlHeaderHtml);
  std::fputs("Missing System File.", stdout);
  host::Exit(1);
}

void BindLimits(OML_Handle& page, const AttachTable& table) {
  auto clamp = [](std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, INT_MAX));
  };
  int count_limit = CountLimit();
  std::int64_t size_limit = SizeLimit();
  std::int64_t listed = 0;
  for (int i = 0; i < table.count; ++i) listed += table.records[i].size;
  OML_IntSet(page, "$countlimit", count_limit);
  OML_IntSet(page, "$sizelimit", clamp(size_limit));
  OML_IntSet(page, "$countleft", std::max(count_limit - table.count, 0));
  OML_IntSet(page, "$sizeleft", clamp(size_limit - listed));
}

void BindList(OML_Handle& page) {
  const AttachTable& table = ATT_Table();
  OML_IntSet(page, "$count", table.count);
  BindLimits(page, table);
  static std::int64_t size_sum = 0;
  OML_FPSet(page, "$keepname", PrintKeepNames, nullptr);
  OML_FPSet(page, "$choice", PrintChoices, &size_sum);
  OML_FPSet(page, "$size", PrintSize, &size_sum);
}

std::string EscapeInPieces(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t rest = text.size() - pos;
    std::size_t piece = rest;
    if (rest > kPiece) piece = MLG_IsHalf(text.data() + pos, kPiece, 1) ? kPiece + 1 : kPiece;
    out += HtmlEscape(text.substr(pos, piece));
    pos += piece;
  }
  return out;
}

}  // namespace intake
