// Our side of the MIME throughput benchmark (bench/mime_throughput.sh):
//
//   mime_driver [--rounds N] CORPUS_DIR
//
// Every *.eml file of the folder is read into memory first. Before each round
// every text is copied afresh (the parse writes into its text; the copying is
// not timed); the round then parses each copy with the default options, which
// also runs the decoding walk over every part, counts the leaves' decoded
// bytes and frees the parse. The best round is reported as one line:
//   ours messages=M bytes=B leaves=L decoded=D best_seconds=S mb_per_s=X
// (MB = 10^6 bytes of message text). The root must hold the site's type list
// (WEBMAIL_ROOT/httpd/conf), as the walk names and retypes parts with it.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "common/mime/mime.h"

namespace {

namespace fs = std::filesystem;

struct Tally {
  std::size_t leaves = 0;
  std::size_t decoded = 0;
};

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Leaves are the parts without sub-parts that are not multipart containers:
// the parts whose bodies the walk decoded.
void CountLeaves(const MIME_Part& root, Tally& tally) {
  std::vector<const MIME_Part*> stack{&root};
  while (!stack.empty()) {
    const MIME_Part* part = stack.back();
    stack.pop_back();
    if (part->child != nullptr) {
      stack.push_back(part->child);
    } else if (part->header != nullptr && part->header->content_type != nullptr &&
               std::string_view(part->header->content_type).substr(0, 9) != "multipart") {
      ++tally.leaves;
      if (part->body_length > 0) tally.decoded += static_cast<std::size_t>(part->body_length);
    }
    if (part->next != nullptr) stack.push_back(part->next);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  const char* dir = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg(argv[i]);
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      dir = argv[i];
    }
  }
  if (dir == nullptr || rounds < 1) {
    std::fputs("usage: mime_driver [--rounds N] CORPUS_DIR\n", stderr);
    return 2;
  }

  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.path().extension() == ".eml") files.push_back(e.path());
  }
  if (files.empty()) {
    std::fprintf(stderr, "mime_driver: no *.eml files in %s\n", dir);
    return 2;
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> texts;
  std::size_t bytes = 0;
  for (const fs::path& f : files) {
    std::ifstream in(f, std::ios::binary);
    texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    bytes += texts.back().size();
  }

  // Fresh writable copies per round, each with the NUL the parse needs.
  std::vector<std::vector<char>> copies(texts.size());
  double best = 0;
  Tally tally;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      copies[i].assign(texts[i].begin(), texts[i].end());
      copies[i].push_back('\0');
    }
    Tally t;
    double start = Now();
    for (std::size_t i = 0; i < copies.size(); ++i) {
      MIME_Env env;
      MIME_Init(env, copies[i].data(), texts[i].size(), 0, "utf-8");
      MIME_Parse(env);
      CountLeaves(env.root, t);
      MIME_Free(env);
    }
    double seconds = Now() - start;
    if (round == 0 || seconds < best) best = seconds;
    tally = t;
  }
  std::printf(
      "ours messages=%zu bytes=%zu leaves=%zu decoded=%zu best_seconds=%.6f mb_per_s=%.1f\n",
      texts.size(), bytes, tally.leaves, tally.decoded, best,
      static_cast<double>(bytes) / best / 1e6);
  return 0;
}
