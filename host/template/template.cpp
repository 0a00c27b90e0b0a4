// The template engine: a template is parsed once into a tree of nodes (text
// runs, blocks, messages, loops); rendering walks the tree with an explicit
// cursor stack so that it can stop at a loop and resume on the next call.
#include "host/template/template.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <vector>

#include "host/account/session.h"
#include "host/text/cgi_escape.h"

namespace {

std::FILE* g_out = nullptr;  // nullptr: standard output
bool g_header_printed = false;
std::string g_load_error;

std::FILE* Out() {
  return g_out != nullptr ? g_out : stdout;
}

void Put(std::string_view s) {
  if (!s.empty()) std::fwrite(s.data(), 1, s.size(), Out());
}

void PutInt(int v) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  std::fwrite(buf, 1, static_cast<std::size_t>(r.ptr - buf), Out());
}

// Leading blanks, an optional sign and digits; 0 when there are no digits,
// clamped to the int range.
int ParseDecimal(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  long long v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  return static_cast<int>(v);
}

bool ValidName(std::string_view name) {
  return name.size() >= 2 && name[0] == '$';
}

bool MarkerNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

enum class NodeType { kText, kBlock, kMessage, kLoop };

struct Node {
  NodeType type = NodeType::kText;
  std::size_t begin = 0;  // kText: the run's place in the template's source
  std::size_t length = 0;
  std::string name;  // markers: the variable, with its "$"
  int number = 0;    // kMessage: the value that shows it
  std::vector<Node> children;
};

struct Variable {
  int kind = OML_TEXT;
  std::string text;
  int number = 0;
  OML_Callback callback = nullptr;
  void* argument = nullptr;
};

// A marker found at "<!--": its kind, name, message number and length.
struct Marker {
  enum Kind { kNone, kOpen, kMessage, kLoop, kEnd, kLoopEnd } kind = kNone;
  std::string_view name;
  int number = 0;
  std::size_t length = 0;
};

// Reads a marker name ("$" and name bytes) at s[i]; its length or 0.
std::size_t NameAt(std::string_view s, std::size_t i) {
  if (i >= s.size() || s[i] != '$') return 0;
  std::size_t j = i + 1;
  while (j < s.size() && MarkerNameByte(s[j])) ++j;
  return j - i > 1 ? j - i : 0;
}

// s begins with "<!--".
Marker ParseMarker(std::string_view s) {
  Marker m;
  std::size_t i = 4;
  bool end = false;
  bool loop = false;
  if (i < s.size() && s[i] == '/') {
    end = true;
    ++i;
  }
  if (s.substr(i, 4) == "loop") {
    std::size_t j = i + 4;
    while (j < s.size() && (s[j] == ' ' || s[j] == '\t')) ++j;
    if (j == i + 4) return m;
    loop = true;
    i = j;
  }
  std::size_t n = NameAt(s, i);
  if (n == 0) return m;
  m.name = s.substr(i, n);
  i += n;
  if (!end && !loop && i < s.size() && s[i] == '=') {
    std::size_t j = i + 1;
    if (j < s.size() && s[j] == '-') ++j;
    std::size_t digits = j;
    while (j < s.size() && j - digits < 10 && s[j] >= '0' && s[j] <= '9') ++j;
    if (j == digits) return m;
    m.number = ParseDecimal(s.substr(i + 1, j - i - 1));
    m.kind = Marker::kMessage;
    i = j;
  }
  if (s.substr(i, 3) != "-->") return Marker{};
  m.length = i + 3;
  if (m.kind == Marker::kNone) {
    m.kind =
        end ? (loop ? Marker::kLoopEnd : Marker::kEnd) : (loop ? Marker::kLoop : Marker::kOpen);
  }
  return m;
}

}  // namespace

class OML_Template {
 public:
  int Load(std::string text, std::span<const OML_Decl> decls);

  int Bind(std::string_view name, int kind, std::string_view text, int number,
           OML_Callback callback, void* argument);
  int Execute(std::string* loop);
  int ExitLoop();

 private:
  // A place in the tree: the node list, the next node, and for a loop body
  // the loop and whether an iteration is under way.
  struct Frame {
    const std::vector<Node>* nodes;
    std::size_t next;
    const Node* loop;
    bool iterating;
  };

  int Parse();
  int Fail(std::size_t offset, const char* what);
  int Find(std::string_view name) const;
  int Child(int node, unsigned char c) const;  // -1 when the trie has no such edge
  int Add(std::string_view name);
  int Value(std::string_view name) const;
  void RenderText(std::string_view text);
  void RenderVariable(const Variable& v);

  std::string source_;
  std::vector<Node> root_;
  std::vector<Variable> vars_;
  // A byte trie over every declared or bound name, for the longest match at
  // each "$": node 0 is the empty prefix.
  struct TrieNode {
    std::vector<std::pair<unsigned char, int>> next;
    int var = -1;
  };
  std::vector<TrieNode> trie_{1};
  std::vector<Frame> frames_;
  bool started_ = false;
  bool finished_ = false;
};

void std::default_delete<OML_Template>::operator()(OML_Template* t) const {
  delete t;
}

int OML_Template::Fail(std::size_t offset, const char* what) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < offset && i < source_.size(); ++i) line += source_[i] == '\n';
  g_load_error = "line " + std::to_string(line) + ": " + what;
  return -1;
}

int OML_Template::Load(std::string text, std::span<const OML_Decl> decls) {
  source_ = std::move(text);
  for (const OML_Decl& d : decls) {
    if (d.name == nullptr || !ValidName(d.name)) {
      g_load_error = "declaration without a \"$name\"";
      return -1;
    }
    int kind = d.kind;
    if (kind != OML_TEXT && kind != OML_INT && kind != OML_BLOCK && kind != OML_SELECT &&
        kind != OML_CALLBACK) {
      g_load_error = std::string("declaration of ") + d.name + " has an unknown kind";
      return -1;
    }
    std::string_view def = d.def != nullptr ? d.def : "";
    int number = kind == OML_TEXT || kind == OML_CALLBACK ? 0 : ParseDecimal(def);
    Bind(d.name, kind, kind == OML_TEXT ? def : std::string_view(), number, nullptr, nullptr);
  }
  return Parse();
}

int OML_Template::Parse() {
  std::string_view s = source_;
  // The open markers: the node list each one fills and where it began.
  struct Open {
    std::vector<Node>* nodes;
    std::size_t offset;
  };
  std::vector<Open> open{{&root_, 0}};
  std::size_t text_begin = 0;
  auto flush_text = [&](std::size_t end) {
    if (end > text_begin) {
      Node n;
      n.begin = text_begin;
      n.length = end - text_begin;
      open.back().nodes->push_back(std::move(n));
    }
  };
  std::size_t pos = 0;
  while ((pos = s.find("<!--", pos)) != std::string_view::npos) {
    Marker m = ParseMarker(s.substr(pos));
    if (m.kind == Marker::kNone) {
      ++pos;
      continue;
    }
    flush_text(pos);
    if (m.kind == Marker::kEnd || m.kind == Marker::kLoopEnd) {
      if (open.size() == 1) return Fail(pos, "end marker without its begin marker");
      const Node& top = open[open.size() - 2].nodes->back();
      bool is_loop = top.type == NodeType::kLoop;
      if (top.name != m.name || is_loop != (m.kind == Marker::kLoopEnd)) {
        return Fail(pos, "end marker does not close the innermost open marker");
      }
      open.pop_back();
    } else {
      if (open.size() > static_cast<std::size_t>(OML_MAX_DEPTH)) {
        return Fail(pos, "markers nested too deep");
      }
      Node n;
      n.type = m.kind == Marker::kLoop      ? NodeType::kLoop
               : m.kind == Marker::kMessage ? NodeType::kMessage
                                            : NodeType::kBlock;
      n.name = m.name;
      n.number = m.number;
      std::vector<Node>* nodes = open.back().nodes;
      nodes->push_back(std::move(n));
      open.push_back({&nodes->back().children, pos});
    }
    pos += m.length;
    text_begin = pos;
  }
  flush_text(s.size());
  if (open.size() > 1) return Fail(open.back().offset, "marker without its end marker");
  g_load_error.clear();
  return 0;
}

int OML_Template::Child(int node, unsigned char c) const {
  for (const auto& [byte, index] : trie_[node].next) {
    if (byte == c) return index;
  }
  return -1;
}

int OML_Template::Find(std::string_view name) const {
  int node = 0;
  for (char c : name) {
    node = Child(node, static_cast<unsigned char>(c));
    if (node < 0) return -1;
  }
  return trie_[node].var;
}

int OML_Template::Add(std::string_view name) {
  int node = 0;
  for (char c : name) {
    int child = Child(node, static_cast<unsigned char>(c));
    if (child < 0) {
      child = static_cast<int>(trie_.size());
      trie_[node].next.emplace_back(static_cast<unsigned char>(c), child);
      trie_.emplace_back();
    }
    node = child;
  }
  if (trie_[node].var < 0) {
    trie_[node].var = static_cast<int>(vars_.size());
    vars_.emplace_back();
  }
  return trie_[node].var;
}

int OML_Template::Bind(std::string_view name, int kind, std::string_view text, int number,
                       OML_Callback callback, void* argument) {
  if (!ValidName(name)) return -1;
  Variable& v = vars_[Add(name)];
  if (kind == OML_INT && (v.kind == OML_BLOCK || v.kind == OML_SELECT)) kind = v.kind;
  v.kind = kind;
  v.text.assign(text);
  v.number = number;
  v.callback = callback;
  v.argument = argument;
  return 0;
}

int OML_Template::Value(std::string_view name) const {
  int i = Find(name);
  if (i < 0) return 0;
  const Variable& v = vars_[i];
  switch (v.kind) {
    case OML_TEXT:
      return ParseDecimal(v.text);
    case OML_CALLBACK:
      return 0;
    default:
      return v.number;
  }
}

void OML_Template::RenderVariable(const Variable& v) {
  switch (v.kind) {
    case OML_TEXT:
      Put(v.text);
      break;
    case OML_CALLBACK:
      if (v.callback != nullptr) v.callback(v.argument);
      break;
    default:
      PutInt(v.number);
      break;
  }
}

void OML_Template::RenderText(std::string_view text) {
  std::size_t done = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const void* hit = std::memchr(text.data() + pos, '$', text.size() - pos);
    if (hit == nullptr) break;
    pos = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    // The longest name that the text at pos begins with.
    int node = 0;
    int best = -1;
    std::size_t best_length = 0;
    for (std::size_t i = pos; i < text.size(); ++i) {
      int child = -1;
      for (const auto& [byte, index] : trie_[node].next) {
        if (byte == static_cast<unsigned char>(text[i])) {
          child = index;
          break;
        }
      }
      if (child < 0) break;
      node = child;
      if (trie_[node].var >= 0) {
        best = trie_[node].var;
        best_length = i + 1 - pos;
      }
    }
    if (best < 0) {
      ++pos;
      continue;
    }
    Put(text.substr(done, pos - done));
    RenderVariable(vars_[best]);
    pos += best_length;
    done = pos;
  }
  Put(text.substr(done));
}

int OML_Template::Execute(std::string* loop) {
  if (!g_header_printed) OML_HeaderPrint(0);
  if (finished_) return 0;
  if (!started_) {
    started_ = true;
    frames_.push_back({&root_, 0, nullptr, false});
  }
  if (!frames_.empty() && frames_.back().loop != nullptr && !frames_.back().iterating) {
    frames_.back().iterating = true;
    frames_.back().next = 0;
  }
  std::string_view source = source_;
  while (!frames_.empty()) {
    Frame& f = frames_.back();
    if (f.next >= f.nodes->size()) {
      if (f.loop != nullptr) {
        f.iterating = false;
        if (loop != nullptr) *loop = f.loop->name;
        return 1;
      }
      frames_.pop_back();
      continue;
    }
    const Node& n = (*f.nodes)[f.next++];
    switch (n.type) {
      case NodeType::kText:
        RenderText(source.substr(n.begin, n.length));
        break;
      case NodeType::kBlock:
        if (Value(n.name) != 2) frames_.push_back({&n.children, 0, nullptr, false});
        break;
      case NodeType::kMessage:
        if (Value(n.name) == n.number) frames_.push_back({&n.children, 0, nullptr, false});
        break;
      case NodeType::kLoop:
        frames_.push_back({&n.children, 0, &n, false});
        if (loop != nullptr) *loop = n.name;
        return 1;
    }
  }
  finished_ = true;
  return 0;
}

int OML_Template::ExitLoop() {
  if (frames_.empty() || frames_.back().loop == nullptr) return -1;
  frames_.pop_back();
  return 0;
}

namespace {

// The whole of a regular file of at most OML_MAX_FILE bytes.
int ReadTemplate(const std::string& path, std::string& text) {
  auto fail = [&](int error) {
    g_load_error = path + ": " + std::strerror(error);
    return -1;
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  struct stat st;
  int result = 0;
  if (::fstat(fd, &st) != 0) {
    result = fail(errno);
  } else if (!S_ISREG(st.st_mode)) {
    result = fail(EISDIR);
    if (!S_ISDIR(st.st_mode)) g_load_error = path + ": not a regular file";
  } else if (static_cast<std::size_t>(st.st_size) > OML_MAX_FILE) {
    result = fail(EFBIG);
  } else {
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < text.size()) {
      ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = fail(errno);
        break;
      }
      if (n == 0) break;  // shrank while read: keep what is there
      got += static_cast<std::size_t>(n);
    }
    text.resize(got);
  }
  ::close(fd);
  return result;
}

}  // namespace

int OML_InitText(std::string text, OML_Handle& handle, std::span<const OML_Decl> decls) {
  handle.reset();
  auto t = std::make_unique<OML_Template>();
  if (t->Load(std::move(text), decls) != 0) return -1;
  handle = std::move(t);
  return 0;
}

int OML_Init(const std::string& path, int flags, OML_Handle& handle,
             std::span<const OML_Decl> decls) {
  handle.reset();
  std::string text;
  if (ReadTemplate(path, text) != 0) return -1;
  if (OML_InitText(std::move(text), handle, decls) != 0) {
    g_load_error = path + ": " + g_load_error;
    return -1;
  }
  return 0;
}

int OML_Open(const std::string& path, int flags, OML_Handle& handle) {
  return OML_Init(path, flags, handle, {});
}

const std::string& OML_LoadError() {
  return g_load_error;
}

void form_setdefault(OML_Handle& handle) {
  const Session& s = session();
  OML_StrSet(handle, "$cgibin", "/cgi-bin");
  OML_StrDup(handle, "$userid", HtmlEscape(s.user_id));
  OML_StrDup(handle, "$charset", HtmlEscape(UserCharset()));
  OML_StrDup(handle, "$language", HtmlEscape(GetPreference().language));
  OML_IntSet(handle, "$m", s.m);
  OML_StrDup(handle, "$server", HtmlEscape(s.server_name));
  OML_StrDup(handle, "$scheme", HtmlEscape(s.scheme));
}

int OML_StrSet(OML_Handle& handle, std::string_view name, const char* value) {
  return OML_StrDup(handle, name, value != nullptr ? value : "");
}

int OML_StrDup(OML_Handle& handle, std::string_view name, std::string_view value) {
  if (!handle) return -1;
  return handle->Bind(name, OML_TEXT, value, 0, nullptr, nullptr);
}

int OML_IntSet(OML_Handle& handle, std::string_view name, int value) {
  if (!handle) return -1;
  return handle->Bind(name, OML_INT, {}, value, nullptr, nullptr);
}

int OML_FPSet(OML_Handle& handle, std::string_view name, OML_Callback callback, void* argument) {
  if (!handle) return -1;
  return handle->Bind(name, OML_CALLBACK, {}, 0, callback, argument);
}

int OML_Execute(OML_Handle& handle, std::string* loop) {
  if (!handle) return 0;
  return handle->Execute(loop);
}

int OML_ExitLoop(OML_Handle& handle) {
  if (!handle) return -1;
  return handle->ExitLoop();
}

void OML_Close(OML_Handle& handle) {
  handle.reset();
}

void OML_SetOutput(std::FILE* out) {
  g_out = out;
}

void OML_HeaderPrint(int flags) {
  if (g_header_printed) return;
  g_header_printed = true;
  std::FILE* out = Out();
  std::fputs("Content-Type: text/html; charset=", out);
  Put(UserCharset());
  std::fputs("\n\n", out);
}

bool OML_HeaderPrinted() {
  return g_header_printed;
}

void OML_HeaderResetForTest() {
  g_header_printed = false;
}

void genEditTable(std::string_view user_id, const std::string& template_path) {}
