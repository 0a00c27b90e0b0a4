// Helpers of the MIME tests: a parse that owns its text, and a readable dump
// of the part tree.
#pragma once

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/mime/mime.h"
#include "support/test_root.h"

namespace mime_test {

// Parses `text` (kept alive, NUL-terminated) on construction, frees on
// destruction.
struct Parsed {
  std::string text;
  MIME_Env env;
  int status = 0;
  explicit Parsed(std::string t, int options = kMimeDefaultOptions, const char* charset = "utf-8",
                  int strip_cr = 1)
      : text(std::move(t)) {
    env.options = options;
    env.strip_cr = strip_cr;
    MIME_Init(env, text.data(), text.size(), 0, charset);
    status = MIME_Parse(env);
  }
  ~Parsed() { MIME_Free(env); }
  Parsed(const Parsed&) = delete;
  Parsed& operator=(const Parsed&) = delete;
};

// Every part in tree order (a part, its subtree, its next siblings) with its
// depth; iterative, so it also serves for very deep trees.
inline std::vector<std::pair<int, const MIME_Part*>> Parts(const MIME_Part* root) {
  std::vector<std::pair<int, const MIME_Part*>> out;
  std::vector<std::pair<int, const MIME_Part*>> pending;
  int depth = 0;
  for (const MIME_Part* p = root; p != nullptr || !pending.empty();) {
    if (p == nullptr) {
      std::tie(depth, p) = pending.back();
      pending.pop_back();
      continue;
    }
    out.emplace_back(depth, p);
    if (p->child != nullptr) {
      if (p->next != nullptr) pending.emplace_back(depth, p->next);
      p = p->child;
      ++depth;
    } else {
      p = p->next;
    }
  }
  return out;
}

// The first word of a content type ("text/plain" of "text/plain; x=y").
inline std::string TypeWord(const char* type) {
  if (type == nullptr) return "-";
  std::string t = type;
  return t.substr(0, t.find_first_of("; \t\r\n"));
}

// CR, LF, TAB and NUL as escapes, on one line.
inline std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        out += c;
    }
  }
  return out;
}

inline std::string Body(const MIME_Part* p) {
  if (p->body == nullptr || p->body_length <= 0) return "";
  return std::string(p->body, static_cast<std::size_t>(p->body_length));
}

// One line per part: depth, class, type word, file name and the body with
// CR, LF, TAB and NUL made visible.
inline std::string Dump(const MIME_Env& env) {
  std::string out;
  for (auto [depth, p] : Parts(&env.root)) {
    const MIME_Header* h = p->header;
    out += std::to_string(depth) + " ";
    if (h == nullptr) {
      out += "- -";
    } else {
      out += std::to_string(h->cls) + " " + TypeWord(h->content_type);
      out += std::string(" ") + (h->filename != nullptr ? h->filename : "-");
    }
    // A container's body is its children.
    out += p->child != nullptr ? " [*]\n" : " [" + Escaped(Body(p)) + "]\n";
  }
  return out;
}

// A root whose httpd/conf/mime.types and magic are the shipped ones, for the
// whole test program (both are loaded once per process).
class TypesRoot : public ::testing::Environment {
 public:
  void SetUp() override {
    root_ = std::make_unique<testing_support::TestRoot>();
    std::filesystem::path shipped = std::filesystem::path(AD_SOURCE_DIR) / "conf/mime.types";
    std::string types;
    if (std::filesystem::exists(shipped)) {
      std::ifstream in(shipped, std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      types = s.str();
    } else {
      types =
          "application/octet-stream\tbin\nimage/png\tpng\nmessage/rfc822\teml\n"
          "text/plain\ttxt\ntext/html\thtml\n";
    }
    root_->Write("httpd/conf/mime.types", types);
    std::filesystem::path magic = std::filesystem::path(AD_SOURCE_DIR) / "conf/magic";
    if (std::filesystem::exists(magic)) {
      std::filesystem::copy_file(magic, root_->Path("httpd/conf/magic"),
                                 std::filesystem::copy_options::overwrite_existing);
    }
  }
  void TearDown() override { root_.reset(); }

 private:
  std::unique_ptr<testing_support::TestRoot> root_;
};

}  // namespace mime_test
