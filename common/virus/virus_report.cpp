#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/virus/virus_scan.h"
#include "host/base/strings.h"
#include "host/base/time_text.h"
#include "host/files/files.h"
#include "host/files/log.h"
#include "host/files/root.h"
#include "host/text/mail/mime_boundary.h"

namespace {

constexpr std::size_t kReportField = 512;

int ToInt(std::string_view text) {
  std::string number(text);
  long n = std::strtol(number.c_str(), nullptr, 10);
  return n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : static_cast<int>(n);
}

// A missing value is written as one space (the log writer cleans the rest).
const char* LogField(const char* value) {
  return value ? value : " ";
}

std::string EscapePercent(std::string_view text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

struct MailFields {
  std::string_view subject, virus, file, boundary, mail, from, to, date;
  int length = 0;
  int code1 = 0, code2 = 0;
};

// Copies a notification template with its placeholders filled in.
void FillTemplate(std::string_view tmpl, const MailFields& f, std::string& out, bool in_block) {
  std::size_t i = 0;
  while (i < tmpl.size()) {
    std::size_t dollar = tmpl.find('$', i);
    if (dollar == std::string_view::npos) {
      out.append(tmpl.substr(i));
      break;
    }
    out.append(tmpl.substr(i, dollar - i));
    std::string_view rest = tmpl.substr(dollar);
    struct Named {
      std::string_view name;
      std::string value;
    };
    // In the order they are recognised ("$sizek" before "$size").
    const Named kPlain[] = {
        {"$subject", std::string(f.subject)},
        {"$virus", std::string(f.virus)},
        {"$file", std::string(f.file)},
        {"$boundary", std::string(f.boundary)},
    };
    bool done = false;
    for (const Named& n : kPlain) {
      if (rest.starts_with(n.name)) {
        out += n.value;
        i = dollar + n.name.size();
        done = true;
        break;
      }
    }
    if (done) continue;
    if (rest.starts_with("$origmail")) {
      out.append(f.mail);
      i = dollar + 9;
      continue;
    }
    if (rest.starts_with("$vret")) {
      // "$vret", an operator like "==", a digit N, maybe "." and a digit M,
      // the block, "$$vret".
      std::size_t p = dollar + 5;
      std::size_t dropped = std::min(tmpl.size(), dollar + 7);  // "$vret" and two characters
      if (p + 1 < tmpl.size() && tmpl[p + 1] == '=') {
        p += 2;
      } else if (p + 2 < tmpl.size() && tmpl[p + 2] == '=') {
        p += 3;
      } else {
        i = dropped;
        continue;
      }
      if (p >= tmpl.size() || !std::isdigit(static_cast<unsigned char>(tmpl[p]))) {
        i = dropped;
        continue;
      }
      int n = tmpl[p++] - '0';
      int m = -1;
      if (p + 1 < tmpl.size() && tmpl[p] == '.' &&
          std::isdigit(static_cast<unsigned char>(tmpl[p + 1]))) {
        m = tmpl[p + 1] - '0';
        p += 2;
      }
      std::size_t end = in_block ? std::string_view::npos : tmpl.find("$$vret", p);
      if (end == std::string_view::npos) {
        i = dropped;
        continue;
      }
      if (n == f.code1 && (m < 0 || m == f.code2)) {
        FillTemplate(tmpl.substr(p, end - p), f, out, true);
      }
      i = end + 6;
      if (i < tmpl.size() && tmpl[i] == '\n') ++i;
      continue;
    }
    const Named kLater[] = {
        {"$from", std::string(f.from)},      {"$to", std::string(f.to)},
        {"$date", std::string(f.date)},      {"$sizek", std::to_string(f.length / 1024 + 1)},
        {"$size", std::to_string(f.length)},
    };
    for (const Named& n : kLater) {
      if (rest.starts_with(n.name)) {
        out += n.value;
        i = dollar + n.name.size();
        done = true;
        break;
      }
    }
    if (!done) i = dollar + 1;  // an unknown "$" is dropped
  }
}

}  // namespace

int VIR_ReportNext(const char* text, char* file, char* virus, int* code, const char** cursor) {
  const char* p = text;
  if (!p) {
    if (!cursor || !*cursor) return 1;
    p = *cursor;
  }
  if (!*p) {
    if (cursor) *cursor = nullptr;
    return 1;
  }
  const char* newline = std::strchr(p, '\n');
  std::string_view line(p, newline ? static_cast<std::size_t>(newline - p) : std::strlen(p));
  if (cursor) *cursor = newline && newline[1] ? newline + 1 : nullptr;

  std::size_t tab1 = line.find('\t');
  std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
  if (tab2 == std::string_view::npos) return -1;
  if (file) MSTR_Copy(file, kReportField, line.substr(0, tab1));
  if (virus) MSTR_Copy(virus, kReportField, line.substr(tab1 + 1, tab2 - tab1 - 1));
  if (code) *code = ToInt(line.substr(tab2 + 1));
  return 0;
}

void VIR_Log(const char* kind, const char* virus, const char* file, const char* from,
             const char* to, const char* path) {
  std::time_t now = std::time(nullptr);
  std::string log = host::RootPath("log/virus.log.") + MTM_ToStr("%y%m%d", now);
  LOG_FileStr2(log, 0, "%s\t%s\t%s\t%s\t%s\t%s\t%s\n", MTM_ToStr("%Y/%m/%d %T", now),
               LogField(virus), LogField(from), LogField(to), LogField(path), LogField(kind),
               LogField(file));
}

std::string VIR_NotifySubject(const char* tmpl) {
  const char* subject = tmpl ? std::strstr(tmpl, "Subject:") : nullptr;
  if (!subject) return "Virus Mail--%s";
  subject += 8;
  while (*subject == ' ' || *subject == '\t') ++subject;
  std::string_view line(subject, std::min<std::size_t>(std::strcspn(subject, "\r\n"), 255));
  std::size_t at = line.find("$subject");
  if (at == std::string_view::npos) return EscapePercent(line);
  return EscapePercent(line.substr(0, at)) + "%s" + EscapePercent(line.substr(at + 8));
}

int VIR_NotifyMail(const char* tmpl, std::FILE* out, const char* mail_path, const char* mail,
                   int mail_length, const char* report, const char* from, const char* to,
                   const char* subject, std::time_t date, int code2, int code1) {
  if (!tmpl) return -1;
  std::string boundary = mime_boundary();
  char file[kReportField] = "";
  char virus[kReportField] = "";
  int code = 0;
  const char* cursor = nullptr;
  if (report) VIR_ReportNext(report, file, virus, &code, &cursor);

  std::string read;
  if (!mail) {
    if (!mail_path) return -1;
    std::int64_t n = MFILE_Read(mail_path, read);
    if (n < 1 || n > INT_MAX) return -1;
    mail = read.data();
    mail_length = static_cast<int>(n);
  }
  if (mail_length < 0) mail_length = 0;
  if (!out && !mail_path) return -1;

  MailFields fields;
  fields.subject = subject ? subject : "";
  fields.virus = virus;
  fields.file = file;
  fields.boundary = boundary;
  fields.mail = std::string_view(mail, static_cast<std::size_t>(mail_length));
  fields.from = from ? from : "";
  fields.to = to ? to : "";
  std::string rfc822 = MTM_RFC822Str(date);
  fields.date = rfc822;
  fields.length = mail_length;
  fields.code1 = code1;
  fields.code2 = code2;
  std::string text;
  FillTemplate(tmpl, fields, text, false);

  if (out) {
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) return -1;
    return std::fflush(out) == 0 ? 1 : -1;
  }
  // Written beside the mail and renamed over it, so a failure leaves the mail
  // as it was.
  std::string temp = std::string(mail_path) + "." + std::to_string(static_cast<long>(getpid()));
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  bool ok = WriteAll(fd, text.data(), text.size());
  if (close(fd) != 0) ok = false;
  if (!ok || std::rename(temp.c_str(), mail_path) != 0) {
    unlink(temp.c_str());
    return -1;
  }
  return 1;
}
