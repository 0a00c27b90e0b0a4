// Loads and renders a template with a few bindings. The input is binding lines,
// an empty line, then the template (no empty line: all of it is the template).
// Binding lines:
//   $name=text     a text          $name#N   an integer (blocks, selectors)
//   $name!         a callback
//   dK$name default   a declaration, K a digit: 0 text, 1 integer, 2 block,
//                     3 selector, 4 callback, 5 an unknown kind
//   *B             iterations of every loop: the byte B modulo 4; "$i" counts them
// The page goes to a memory stream; a template without "<!--" and "$" must
// come out unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "host/template/template.h"

namespace {

std::FILE* g_page = nullptr;

void Callback(void* argument) {
  std::fputs("<cb>", g_page);
}

int ToInt(std::string_view s) {
  return std::atoi(std::string(s).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view text = input;
  std::vector<std::string_view> lines;
  if (std::size_t split = input.find("\n\n"); split != std::string_view::npos) {
    text = input.substr(split + 2);
    std::string_view head = input.substr(0, split + 1);
    while (!head.empty() && lines.size() < 16) {
      std::size_t end = head.find('\n');
      lines.push_back(head.substr(0, end));
      head.remove_prefix(end + 1);
    }
  }

  // Declarations own their strings for the duration of the load.
  std::vector<std::string> decl_text;
  decl_text.reserve(2 * lines.size());
  std::vector<OML_Decl> decls;
  int iterations = 1;
  for (std::string_view line : lines) {
    if (line.size() > 2 && line[0] == 'd') {
      std::size_t space = line.find(' ', 2);
      std::string_view name =
          line.substr(2, space == std::string_view::npos ? line.npos : space - 2);
      std::string_view def = space == std::string_view::npos ? "" : line.substr(space + 1);
      static const int kKinds[] = {OML_TEXT, OML_INT, OML_BLOCK, OML_SELECT, OML_CALLBACK, 7};
      int kind = kKinds[static_cast<unsigned char>(line[1]) % 6];
      const std::string& n = decl_text.emplace_back(name);
      const char* d = nullptr;
      if (!def.empty()) d = decl_text.emplace_back(def).c_str();
      decls.push_back({n.c_str(), kind, d});
    } else if (line.size() == 2 && line[0] == '*') {
      iterations = static_cast<unsigned char>(line[1]) % 4;
    }
  }

  OML_Handle h;
  if (OML_InitText(std::string(text), h, decls) != 0) return 0;
  for (std::string_view line : lines) {
    if (line.empty() || line[0] != '$') continue;
    std::size_t op = line.find_first_of("=#!");
    if (op == std::string_view::npos) continue;
    std::string_view name = line.substr(0, op);
    std::string_view value = line.substr(op + 1);
    if (line[op] == '=') OML_StrDup(h, name, value);
    if (line[op] == '#') OML_IntSet(h, name, ToInt(value));
    if (line[op] == '!') OML_FPSet(h, name, Callback, nullptr);
  }

  char* page = nullptr;
  size_t page_size = 0;
  g_page = open_memstream(&page, &page_size);
  if (g_page == nullptr) return 0;
  OML_SetOutput(g_page);
  OML_HeaderPrint(0);  // once per process: keep later pages comparable
  std::fflush(g_page);
  const std::size_t header = page_size;
  // Every stop opens a loop or ends an iteration; the driver cannot tell an
  // inner loop from the end of an iteration, so nested loops are cut short by
  // the cap on calls.
  std::string loop;
  int calls = 0;
  while (OML_Execute(h, &loop) != 0 && ++calls < 10000) {
    for (int i = 0; i < iterations; ++i, ++calls) {
      OML_IntSet(h, "$i", i);
      // An open loop ends only by OML_ExitLoop.
      if (OML_Execute(h, &loop) == 0) __builtin_trap();
    }
    if (OML_ExitLoop(h) != 0) __builtin_trap();
  }
  OML_SetOutput(nullptr);
  std::fclose(g_page);
  g_page = nullptr;
  if (text.find("<!--") == text.npos && text.find('$') == text.npos) {
    std::string_view out(page + header, page_size - header);
    if (out != text) __builtin_trap();
  }
  std::free(page);
  return 0;
}
