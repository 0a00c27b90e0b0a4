// attachtool: diagnostics over the same root as the CGI programs
// (WEBMAIL_ROOT). `attachtool --help` lists the subcommands.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "attachtool.h"
#include "host/base/process.h"

// One row per subcommand; its code lives in <name>_command.cpp.
int TypeCommand(int argc, char** argv);
int CompileMagicCommand(int argc, char** argv);
int MimeCommand(int argc, char** argv);
int ScanCommand(int argc, char** argv);
int DirCommand(int argc, char** argv);
int RightsCommand(int argc, char** argv);
int CabinetPathCommand(int argc, char** argv);
int CabinetListCommand(int argc, char** argv);
int AclSetCommand(int argc, char** argv);
int GrantCommand(int argc, char** argv);
int NoteAddCommand(int argc, char** argv);
int NoteListCommand(int argc, char** argv);
int ReapCommand(int argc, char** argv);

namespace {

struct Command {
  const char* name;
  const char* synopsis;
  const char* help;  // what it does and its exit statuses
  int (*run)(int argc, char** argv);  // argv[0] is the command's name
};

constexpr Command kCommands[] = {
    {"type", "type [--] FILE...",
     "For each FILE, the content type guessed from its base name and its bytes,\n"
     "printed as the FILE argument, a TAB and the type. Exit status 0; 2 when a\n"
     "file cannot be read (a message on standard error; the other files are\n"
     "still typed).",
     TypeCommand},
    {"compile-magic", "compile-magic",
     "Compiles the magic rules httpd/conf/magic under the root into\n"
     "httpd/conf/magic.mgc, which guesses use while it is not older than the\n"
     "rules. Exit status 0; 1 when the rules cannot be read or compiled (the\n"
     "previous magic.mgc stays).",
     CompileMagicCommand},
    {"mime", "mime [--options HEX] [--charset NAME] FILE",
     "Parses FILE as the part-by-part virus scan does and prints one line per\n"
     "part in tree order, then the parse's status and found bits. Exit status 0;\n"
     "2 when the file cannot be read.",
     MimeCommand},
    {"scan", "scan [--action N] [--out FILE] FILE",
     "Scans FILE with the engine of etc/avscan.conf as the attachment intake\n"
     "does, with the action N (0 none, 1 repair, 2 delete; default 0). Prints\n"
     "\"result\", a TAB and the scan's answer, then each report line as file,\n"
     "virus and code separated by TABs. With --out, a rewritten message is\n"
     "written to FILE. Exit status 0 clean, 1 infected, 2 not scanned (the\n"
     "engine could not be opened, or it answered an error).",
     ScanCommand},
    {"dir", "dir [--as USER] [--assign TEXT] [--conf PATH] OP [ARG...]",
     "Opens a directory context as the programs do (MDS_Init with PATH and TEXT;\n"
     "the session of a login of USER, or none), calls OP once and closes it.\n"
     "Prints \"result\", TAB and the answer, the output lines (after an answer\n"
     "of 0), then \"close\", TAB and MDS_Close's answer; TAB, CR, LF and \\ in\n"
     "values are written \\t, \\r, \\n and \\\\. \"(null)\" is a null string, also\n"
     "as an argument. Exit status 0 when OP answered 0, 1 otherwise; 2 for a\n"
     "usage error or when the context cannot be opened (nothing on standard\n"
     "output). OP and its arguments:\n"
     "  GroupUListGet|GroupAListGet|GroupGListGet|GroupGInfoListGet|GroupInfoGet|\n"
     "    GroupDelete ID\n"
     "  GroupCreate|GroupInfoUpdate ID [F2 .. F8]    GroupRename ID PARENT NAME\n"
     "  GroupUserCreate|GroupUserDelete|GroupAdmCreate|GroupAdmDelete ID USER\n"
     "  GroupUserMove USER FROM TO    UserPassUpdate USER PASSWORD MODE\n"
     "  GroupIsAdm|UserGListGet|UserInfoGet|UserPassGet|UserDelete|IsUserExist USER\n"
     "  UserInfoUpdate [KEY=VALUE...]    UserCreate USER PASSWORD ID [KEY=VALUE...]\n"
     "  UserSearch PATTERN    Shutdown\n"
     "  MDSAP_IsGroupAdmin USER GROUP PRIV    MDSAP_IsInGroupTree USER GROUP\n"
     "  MDSAP_IsSiteAdmin USER    MDSAP_IsInTheGroup USER GROUP\n"
     "  MDSAP_GroupLevelGet GROUP    MDSAP_UserGroupLevelApply USER GROUP\n"
     "  MDSAP_GroupUserCreate|MDSAP_GroupUserDelete GROUP USER\n"
     "  MDSAP_UserCreate GROUP USER PASSWORD LEVEL IS_HASH NO_PASSWORD [KEY=VALUE...]\n"
     "  MDSAP_UserRemove USER    MDSAP_UserPassUpdate USER PASSWORD IS_HASH NO_PASSWORD\n"
     "  MDSAP_UserInfoUpdate USER [KEY=VALUE...]    MDSAP_UserInfoGet USER\n"
     "  MDSAP_FwdRead|MDSAP_FwdGet|MDSAP_FwdSenderGet ACCOUNT\n"
     "  MDSAP_FwdAdd ACCOUNT ADDRESS REPLACEMENT NOTE ACTIVE FLAGS\n"
     "  MDSAP_FwdDel ACCOUNT ADDRESS    MDSAP_DefaultGroup\n"
     "  MDSAP_FindGroupID START TEXT    MDSAP_FindGroupID2 START PATH\n"
     "  MDSAP_FindGroupIDByFwd START ACCOUNT\n"
     "KEY is a .userinfo key (UID ... UCUSTOM8; UFAX and UHOME_FAX are one field).",
     DirCommand},
    {"rights", "rights USER BASE DIR [NAME]",
     "Prints the permission bits the cabinet's check gives USER on NAME in the\n"
     "folder DIR of the cabinet BASE (without NAME: the folder itself), in\n"
     "decimal: 8 manage, 4 read, 2 write, 1 (public records only); 0 none. USER\n"
     "is the logged-in user (its domain, or the default domain). Bases: USER's\n"
     "own id, \"*OWNER\" another user's cabinet, \"@\" the site's public cabinet,\n"
     "\"@DOMAIN\" a domain's. Exit status 0.",
     RightsCommand},
    {"cabinet-path", "cabinet-path BASE DIR [NAME]",
     "Prints one line of four TAB-separated fields: the normalised folder of DIR\n"
     "and NAME (empty when it climbs above the cabinet or is too deep), the file\n"
     "name of NAME (empty when none), the reserved class of NAME's last component\n"
     "(0 an ordinary name; 0 without NAME), and the cabinet folder of BASE and DIR\n"
     "(empty when BASE names no cabinet). Exit status 0.",
     CabinetPathCommand},
    {"cabinet-list", "cabinet-list BASE DIR",
     "Lists the folder DIR of the cabinet BASE, sorted by name, folders first:\n"
     "one line per entry of name, type (0 folder, 1 link folder, 2 to 29 from\n"
     "etc/dc_type.conf), size, modification time in seconds and description,\n"
     "TAB-separated (TAB, CR and LF inside a value print as spaces). Exit status\n"
     "0; 1 with nothing printed when DIR is refused, BASE names no cabinet or\n"
     "the folder cannot be opened.",
     CabinetListCommand},
    {"acl-set", "acl-set BASE OBJECT OWNER GROUP PERM [TYPE:ID:PERM...]",
     "Writes the record of OBJECT (a cabinet path) into the .acl of the public\n"
     "cabinet BASE (\"@\" or \"@DOMAIN\"), replacing one of the same name: OWNER\n"
     "(a user id, or a group id beginning with \"/\"), GROUP (a group id, or \"\"),\n"
     "PERM the permission word in hexadecimal, one digit of rights (8 manage,\n"
     "4 read, 2 write) per class: administrators, owner, group, others (e.g.\n"
     "0744), and entries with IDType 1 user, 4 group, 8 everybody and rights in\n"
     "hexadecimal. Prints \"result\", TAB and the answer (7 unknown user,\n"
     "8 unknown group). Exit status 0 when it was written, 1 otherwise.",
     AclSetCommand},
    {"grant", "grant OWNER RESOURCE ACCESS_ID SET_ID [INHERIT]",
     "Grants the privilege set SET_ID (1 all, 2 read, 3 read and write, 8 none)\n"
     "on the folder RESOURCE of OWNER's cabinet to the user ids matching the\n"
     "pattern ACCESS_ID, in OWNER's .useracl; INHERIT 1 (the default) also covers\n"
     "the folders below it. A grant of the same resource and pattern is changed.\n"
     "Prints \"result\", TAB and the answer. Exit status 0 when it was written.",
     GrantCommand},
    {"note-add", "note-add [--dated] [--append] [--charset CHARSET] USER FOLDER TITLE [FILE]",
     "Adds a memo note with the text of FILE (or of standard input) to the folder\n"
     "FOLDER of USER's note store (\"\" for the top folder; folders are made as\n"
     "needed), and prints its key. --dated names the note by its time instead\n"
     "of its title; --append puts its entry at the end of the index instead of\n"
     "the front; CHARSET is a charset name or number of the text. Exit status 0;\n"
     "1 when the folder is refused or the note cannot be written.",
     NoteAddCommand},
    {"note-list", "note-list USER [FOLDER]",
     "Prints the index of the folder FOLDER (default: the top folder) of USER's\n"
     "note store, one line per entry, TAB-separated: key (\"-\" for a deleted\n"
     "entry), dated flag, charset number, length, modification time in seconds\n"
     "and title (TAB, CR and LF print as spaces). Exit status 0; 1 when the\n"
     "folder is refused or missing or its index cannot be read.",
     NoteListCommand},
    {"reap", "reap [--older-than HOURS] [--dry-run]",
     "Removes from tmp/ the files of the compose windows (a user and a compose\n"
     "identifier, by the names the programs make; a calendar export on its own)\n"
     "none of whose files was modified for HOURS (default 24), each window whole,\n"
     "skipping one whose list is in use, with the background files of the hashed\n"
     "store its lists name. Prints \"reaped USER WINDOW N files B bytes\" per\n"
     "window (WINDOW \"cal/FNAME\" for a calendar export), \"busy USER WINDOW\" for\n"
     "one in use, \"left NAME\" for a name in tmp/ that is not the programs' or\n"
     "not a regular file (left alone), then \"reaped N windows, M files, B\n"
     "bytes\", and logs the same to log/error.log. --dry-run removes nothing and\n"
     "says \"would reap\" instead. Exit status 0; 1 when tmp/ cannot be read or a\n"
     "file could not be removed.",
     ReapCommand},
};

void PrintUsage(std::FILE* out) {
  std::fputs("usage: attachtool COMMAND [ARGUMENTS]\n"
             "       attachtool --help | attachtool COMMAND --help\n\n"
             "Works below the root WEBMAIL_ROOT (default /webmail). Usage errors\n"
             "exit with status 2.\n\nCommands:\n",
             out);
  for (const Command& c : kCommands) std::fprintf(out, "  attachtool %s\n", c.synopsis);
}

const Command* Find(std::string_view name) {
  for (const Command& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

}  // namespace

std::string OneLineField(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

int UsageError(const char* command) {
  const Command* c = Find(command);
  std::fprintf(stderr, "usage: attachtool %s\n", c ? c->synopsis : command);
  return kExitUsage;
}

int main(int argc, char** argv) {
  host::ProcessInit();
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    for (const Command& c : kCommands) {
      std::printf("\nattachtool %s\n%s\n", c.synopsis, c.help);
    }
    return 0;
  }
  const Command* command = Find(name);
  if (command == nullptr) {
    std::fprintf(stderr, "attachtool: unknown command \"%s\"\n", argv[1]);
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (argc == 3 && std::strcmp(argv[2], "--help") == 0) {
    std::printf("usage: attachtool %s\n\n%s\n", command->synopsis, command->help);
    return 0;
  }
  int status = command->run(argc - 1, argv + 1);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "attachtool: cannot write the output\n");
    if (status == 0) status = kExitUsage;
  }
  return status;
}
