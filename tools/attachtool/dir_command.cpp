// attachtool dir [--as USER] [--assign TEXT] [--conf PATH] OP [ARG...]: one
// directory operation or application function on a context opened as the
// programs open it, its answer and output on standard output.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "attachtool.h"
#include "common/directory/app/mdsap.h"
#include "common/directory/mds.h"
#include "host/account/session.h"
#include "host/account/user_info.h"
#include "host/site/site.h"
#include "tool_session.h"

namespace {

// An argument: "(null)" stands for a null string.
struct Arg {
  std::string text;
  bool null = false;
  const char* c() const { return null ? nullptr : text.c_str(); }
  std::string str() const { return null ? std::string() : text; }
};

struct Out {
  std::string lines;
  void Field(const char* value) {
    if (!value) {
      lines += "(null)";
      return;
    }
    for (const char* p = value; *p; ++p) {
      switch (*p) {
        case '\\':
          lines += "\\\\";
          break;
        case '\t':
          lines += "\\t";
          break;
        case '\n':
          lines += "\\n";
          break;
        case '\r':
          lines += "\\r";
          break;
        default:
          lines += *p;
      }
    }
  }
  void Line(std::initializer_list<const char*> fields) {
    bool first = true;
    for (const char* f : fields) {
      if (!first) lines += '\t';
      first = false;
      Field(f);
    }
    lines += '\n';
  }
  void Strings(const MdsStringList& list) {
    for (const char* s : list) Line({s});
  }
  void Members(const MdsMemberList& list) {
    for (const MDS_Member& m : list) Line({m.first, m.second});
  }
  void GroupInfo(const MDS_GroupInfo& g) {
    for (int i = 0; i < MDS_GROUPINFO_FIELDS; ++i) {
      if (i) lines += '\t';
      Field(g.f[i]);
    }
    lines += '\n';
  }
  void UserInfo(const MDS_UserInfo& u) {
    for (int i = 0; i < MDS_USERINFO_FIELDS; ++i) {
      if (i) lines += '\t';
      Field(u.f[i]);
    }
    lines += '\n';
  }
  void HostInfo(const UINFO& u) {
    for (int i = 0; i < kUserInfoFields; ++i) {
      if (i) lines += '\t';
      Field(u.f[i].c_str());
    }
    lines += '\n';
  }
};

struct Call {
  MDS_Context* ctx;
  const std::vector<Arg>& args;
  std::vector<int> numbers;   // the operation's numeric arguments, parsed
  MdsUserFields user_fields;  // KEY=VALUE arguments
  Out& out;
  const char* a(std::size_t i) const { return args[i].c(); }
};

using Handler = std::function<int(Call&)>;

struct Op {
  const char* name;
  std::size_t min_args;
  std::size_t max_args;              // SIZE_MAX: any number of KEY=VALUE after min_args
  std::vector<std::size_t> numbers;  // positions of numeric arguments
  Handler run;
};

constexpr std::size_t kKeyValues = SIZE_MAX;

bool ParseNumber(const std::string& text, int& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

// KEY=VALUE arguments into record fields; unnamed fields are "".
bool ParseKeyValues(const std::vector<Arg>& args, std::size_t from, MdsUserFields& fields) {
  for (MdsText& f : fields) f = std::string();
  for (std::size_t i = from; i < args.size(); ++i) {
    const std::string& kv = args[i].text;
    std::size_t eq = kv.find('=');
    if (args[i].null || eq == std::string::npos) return false;
    int field = UserInfoField(std::string_view(kv).substr(0, eq));
    if (field < 0) return false;
    std::string value = kv.substr(eq + 1);
    fields[field] = value == "(null)" ? MdsText() : MdsText(value);
  }
  return true;
}

UINFO HostRecord(const MdsUserFields& fields) {
  UINFO info;
  for (int i = 0; i < kUserInfoFields; ++i) info.f[i] = fields[i].value_or("");
  return info;
}

int MemberOp(Call& c, int (*fn)(MDS_Context*, const char*, MDS_Member**, int*)) {
  MdsMemberList list;
  int r = fn(c.ctx, c.a(0), &list.items, &list.count);
  if (r == 0) c.out.Members(list);
  return r;
}

int StringsOp(Call& c, int (*fn)(MDS_Context*, const char*, char***, int*)) {
  MdsStringList list;
  int r = fn(c.ctx, c.a(0), &list.items, &list.count);
  if (r == 0) c.out.Strings(list);
  return r;
}

int GroupRecordOp(Call& c, int (*fn)(MDS_Context*, MDS_GroupInfo*)) {
  MdsGroupInfoRecord info;
  for (std::size_t i = 0; i < c.args.size() && i < MDS_GROUPINFO_FIELDS; ++i) {
    info.rec.f[i] = c.args[i].null ? nullptr : MdsStrDup(c.args[i].text);
  }
  int r = fn(c.ctx, &info.rec);
  c.out.GroupInfo(info.rec);  // as the record stands after the call, whatever the answer
  return r;
}

int AnswerString(Call& c, const std::optional<std::string>& s) {
  if (!s) return 1;
  c.out.Line({s->c_str()});
  return 0;
}

const std::vector<Op>& Ops() {
  static const std::vector<Op> ops = {
      {"GroupUListGet", 1, 1, {}, [](Call& c) { return MemberOp(c, MDS_GroupUListGet); }},
      {"GroupAListGet", 1, 1, {}, [](Call& c) { return MemberOp(c, MDS_GroupAListGet); }},
      {"GroupGListGet", 1, 1, {}, [](Call& c) { return StringsOp(c, MDS_GroupGListGet); }},
      {"GroupGInfoListGet",
       1,
       1,
       {},
       [](Call& c) {
         MdsGroupInfoList list;
         int r = MDS_GroupGInfoListGet(c.ctx, c.a(0), &list.items, &list.count);
         if (r == 0) {
           for (const MDS_GroupInfo& g : list) c.out.GroupInfo(g);
         }
         return r;
       }},
      {"GroupInfoGet",
       1,
       1,
       {},
       [](Call& c) {
         MdsGroupInfoRecord info;
         int r = MDS_GroupInfoGet(c.ctx, c.a(0), &info.rec);
         if (r == 0) c.out.GroupInfo(info.rec);
         return r;
       }},
      {"GroupCreate", 1, 8, {}, [](Call& c) { return GroupRecordOp(c, MDS_GroupCreate); }},
      {"GroupDelete", 1, 1, {}, [](Call& c) { return MDS_GroupDelete(c.ctx, c.a(0)); }},
      {"GroupInfoUpdate", 1, 8, {}, [](Call& c) { return GroupRecordOp(c, MDS_GroupInfoUpdate); }},
      {"GroupRename",
       3,
       3,
       {},
       [](Call& c) { return MDS_GroupRename(c.ctx, c.a(0), c.a(1), c.a(2)); }},
      {"GroupUserCreate",
       2,
       2,
       {},
       [](Call& c) { return MDS_GroupUserCreate(c.ctx, c.a(0), c.a(1)); }},
      {"GroupUserDelete",
       2,
       2,
       {},
       [](Call& c) { return MDS_GroupUserDelete(c.ctx, c.a(0), c.a(1)); }},
      {"GroupUserMove",
       3,
       3,
       {},
       [](Call& c) { return MDS_GroupUserMove(c.ctx, c.a(0), c.a(1), c.a(2)); }},
      {"GroupIsAdm", 1, 1, {}, [](Call& c) { return MDS_GroupIsAdm(c.ctx, c.a(0)); }},
      {"GroupAdmCreate",
       2,
       2,
       {},
       [](Call& c) { return MDS_GroupAdmCreate(c.ctx, c.a(0), c.a(1)); }},
      {"GroupAdmDelete",
       2,
       2,
       {},
       [](Call& c) { return MDS_GroupAdmDelete(c.ctx, c.a(0), c.a(1)); }},
      {"UserGListGet", 1, 1, {}, [](Call& c) { return StringsOp(c, MDS_UserGListGet); }},
      {"UserInfoUpdate",
       0,
       kKeyValues,
       {},
       [](Call& c) {
         MdsUserInfoRecord info;
         if (MdsMakeUserInfo(c.user_fields, &info.rec) != 0) return kMdsNoMemory;
         return MDS_UserInfoUpdate(c.ctx, &info.rec);
       }},
      {"UserInfoGet",
       1,
       1,
       {},
       [](Call& c) {
         MdsUserInfoRecord info;
         int r = MDS_UserInfoGet(c.ctx, c.a(0), &info.rec);
         if (r == 0) c.out.UserInfo(info.rec);
         return r;
       }},
      {"UserPassUpdate",
       3,
       3,
       {2},
       [](Call& c) { return MDS_UserPassUpdate(c.ctx, c.a(0), c.a(1), c.numbers[0]); }},
      {"UserPassGet",
       1,
       1,
       {},
       [](Call& c) {
         MdsString password;
         int r = MDS_UserPassGet(c.ctx, c.a(0), &password.s);
         if (r == 0) c.out.Line({password.s});
         return r;
       }},
      {"UserCreate",
       3,
       kKeyValues,
       {},
       [](Call& c) {
         MdsUserInfoRecord info;
         if (MdsMakeUserInfo(c.user_fields, &info.rec) != 0) return kMdsNoMemory;
         return MDS_UserCreate(c.ctx, c.a(0), c.a(1), c.a(2), &info.rec);
       }},
      {"UserDelete", 1, 1, {}, [](Call& c) { return MDS_UserDelete(c.ctx, c.a(0)); }},
      {"IsUserExist", 1, 1, {}, [](Call& c) { return MDS_IsUserExist(c.ctx, c.a(0)); }},
      {"UserSearch", 1, 1, {}, [](Call& c) { return MemberOp(c, MDS_UserSearch); }},
      {"Shutdown", 0, 0, {}, [](Call& c) { return MDS_Shutdown(c.ctx); }},

      {"MDSAP_IsGroupAdmin",
       3,
       3,
       {},
       [](Call& c) { return MDSAP_IsGroupAdmin(c.ctx, c.a(0), c.a(1), c.a(2)); }},
      {"MDSAP_IsInGroupTree",
       2,
       2,
       {},
       [](Call& c) { return MDSAP_IsInGroupTree(c.ctx, c.a(0), c.a(1)); }},
      {"MDSAP_IsSiteAdmin", 1, 1, {}, [](Call& c) { return MDSAP_IsSiteAdmin(c.ctx, c.a(0)); }},
      {"MDSAP_IsInTheGroup",
       2,
       2,
       {},
       [](Call& c) { return MDSAP_IsInTheGroup(c.ctx, c.a(0), c.a(1)); }},
      {"MDSAP_GroupLevelGet", 1, 1, {}, [](Call& c) { return MDSAP_GroupLevelGet(c.ctx, c.a(0)); }},
      {"MDSAP_UserGroupLevelApply",
       2,
       2,
       {},
       [](Call& c) { return MDSAP_UserGroupLevelApply(c.ctx, c.a(0), c.a(1)); }},
      {"MDSAP_GroupUserCreate",
       2,
       2,
       {},
       [](Call& c) { return MDSAP_GroupUserCreate(c.ctx, c.a(0), c.a(1)); }},
      {"MDSAP_GroupUserDelete",
       2,
       2,
       {},
       [](Call& c) { return MDSAP_GroupUserDelete(c.ctx, c.a(0), c.a(1)); }},
      {"MDSAP_UserCreate",
       6,
       kKeyValues,
       {3, 4, 5},
       [](Call& c) {
         return MDSAP_UserCreate(c.ctx, c.a(0), c.a(1), c.a(2), c.numbers[0], c.numbers[1],
                                 c.numbers[2], HostRecord(c.user_fields));
       }},
      {"MDSAP_UserRemove", 1, 1, {}, [](Call& c) { return MDSAP_UserRemove(c.ctx, c.a(0)); }},
      {"MDSAP_UserPassUpdate",
       4,
       4,
       {2, 3},
       [](Call& c) {
         return MDSAP_UserPassUpdate(c.ctx, c.a(0), c.a(1), c.numbers[0], c.numbers[1]);
       }},
      {"MDSAP_UserInfoUpdate",
       1,
       kKeyValues,
       {},
       [](Call& c) { return MDSAP_UserInfoUpdate(c.ctx, c.a(0), HostRecord(c.user_fields)); }},
      {"MDSAP_UserInfoGet",
       1,
       1,
       {},
       [](Call& c) {
         UINFO info;
         int r = MDSAP_UserInfoGet(c.ctx, c.a(0), info);
         if (r == 0) c.out.HostInfo(info);
         return r;
       }},
      {"MDSAP_FwdRead",
       1,
       1,
       {},
       [](Call& c) {
         std::string text;
         int r = MDSAP_FwdRead(c.ctx, c.a(0), text);
         if (r == 0) c.out.Line({text.c_str()});
         return r;
       }},
      {"MDSAP_FwdGet",
       1,
       1,
       {},
       [](Call& c) {
         std::vector<MDSAP_FwdEntry> entries;
         int r = MDSAP_FwdGet(c.ctx, c.a(0), entries);
         if (r == 0) {
           for (const MDSAP_FwdEntry& e : entries) {
             std::string active = std::to_string(e.active);
             c.out.Line({e.address.c_str(), e.replacement.c_str(), e.note.c_str(), active.c_str()});
           }
         }
         return r;
       }},
      {"MDSAP_FwdAdd",
       6,
       6,
       {4, 5},
       [](Call& c) {
         MDSAP_FwdEntry e;
         e.address = c.args[1].str();
         e.replacement = c.args[2].str();
         e.note = c.args[3].str();
         e.active = c.numbers[0];
         return MDSAP_FwdAdd(c.ctx, c.a(0), e, c.numbers[1]);
       }},
      {"MDSAP_FwdDel", 2, 2, {}, [](Call& c) { return MDSAP_FwdDel(c.ctx, c.a(0), c.a(1)); }},
      {"MDSAP_FwdSenderGet",
       1,
       1,
       {},
       [](Call& c) {
         std::vector<std::string> senders;
         int r = MDSAP_FwdSenderGet(c.ctx, c.a(0), senders);
         if (r == 0) {
           for (const std::string& s : senders) c.out.Line({s.c_str()});
         }
         return r;
       }},
      {"MDSAP_DefaultGroup",
       0,
       0,
       {},
       [](Call& c) { return AnswerString(c, MDSAP_DefaultGroup(c.ctx)); }},
      {"MDSAP_FindGroupID",
       2,
       2,
       {},
       [](Call& c) { return AnswerString(c, MDSAP_FindGroupID(c.ctx, c.a(0), c.a(1))); }},
      {"MDSAP_FindGroupID2",
       2,
       2,
       {},
       [](Call& c) {
         std::string path = c.args[1].str();
         int r = AnswerString(c, MDSAP_FindGroupID2(c.ctx, c.a(0), path));
         if (r == 0) c.out.Line({path.c_str()});
         return r;
       }},
      {"MDSAP_FindGroupIDByFwd",
       2,
       2,
       {},
       [](Call& c) {
         std::string id;
         int r = MDSAP_FindGroupIDByFwd(c.ctx, c.a(0), c.a(1), id, 2048);
         if (r == 1) c.out.Line({id.c_str()});
         return r;
       }},
  };
  return ops;
}

const Op* FindOp(std::string_view name) {
  for (const Op& op : Ops()) {
    if (name == op.name) return &op;
  }
  return nullptr;
}

}  // namespace

int DirCommand(int argc, char** argv) {
  const char* as = nullptr;
  const char* assign = nullptr;
  const char* conf = nullptr;
  int i = 1;
  for (; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (!arg.starts_with("--")) break;
    if (i + 1 >= argc) return UsageError("dir");
    if (arg == "--as")
      as = argv[++i];
    else if (arg == "--assign")
      assign = argv[++i];
    else if (arg == "--conf")
      conf = argv[++i];
    else
      return UsageError("dir");
  }
  if (i >= argc) return UsageError("dir");
  const Op* op = FindOp(argv[i]);
  if (!op) {
    std::fprintf(stderr, "attachtool dir: unknown operation \"%s\"\n", argv[i]);
    return UsageError("dir");
  }
  std::vector<Arg> args;
  for (int k = i + 1; k < argc; ++k) {
    std::string text = argv[k];
    args.push_back(Arg{text, text == "(null)"});
  }
  if (args.size() < op->min_args || (op->max_args != kKeyValues && args.size() > op->max_args)) {
    std::fprintf(stderr, "attachtool dir: %s takes %zu argument(s)\n", op->name, op->min_args);
    return UsageError("dir");
  }
  Out out;
  Call call{nullptr, args, {}, {}, out};
  for (std::size_t n : op->numbers) {
    int value = 0;
    if (!ParseNumber(args[n].text, value)) return UsageError("dir");
    call.numbers.push_back(value);
  }
  if (op->max_args == kKeyValues && !ParseKeyValues(args, op->min_args, call.user_fields)) {
    std::fprintf(stderr, "attachtool dir: fields are KEY=VALUE with a .userinfo key\n");
    return UsageError("dir");
  }

  SetToolSession(as);
  MDS_Context ctx;
  if (MDS_Init(&ctx, conf, assign) != 0) {
    std::fprintf(stderr, "attachtool dir: the directory could not be opened (see the logs)\n");
    return kExitUsage;
  }
  call.ctx = &ctx;
  int result = op->run(call);
  int closed = MDS_Close(&ctx);
  std::printf("result\t%d\n%sclose\t%d\n", result, out.lines.c_str(), closed);
  return result == 0 ? 0 : 1;
}
