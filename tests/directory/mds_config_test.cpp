// mds.conf, assignments, loading back ends, dispatch and closing.
#include <cstdlib>

#include <gmock/gmock.h>

#include "common/directory/config/mds_conf.h"
#include "directory_fixture.h"

using namespace directory_test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

TEST(MdsConf, KeysValuesAndLines) {
  struct Row {
    const char* name;
    const char* text;
    const char* logfile;
    const char* defgroup;
    int langopt;
    unsigned options;
    const char* preload;
  } rows[] = {
      {"keys ignore case", "LOGFILE = /l\nDefaultGroup = /G\nLangOpt = 3\nCallMdsAdd = 1\n", "/l",
       "/G", 3, 16, ""},
      {"last line without newline is lost", "langopt = 2\nbreakingrule = 1", "", "", 2, 0, ""},
      {"comments and leading blanks", "#langopt = 2\n langopt = 3\nlangopt =4\n", "", "", 1, 0, ""},
      {"trailing CR and spaces", "defaultgroup = /G x \r\n", "", "/G x", 1, 0, ""},
      {"later lines win, zero clears", "updateonue = 1\ncreateonucf = 7\nupdateonue = 0\n", "", "",
       1, 4, ""},
      {"preloadlib: as written", "preloadlib: /a.so,/b.so\n", "", "", 1, 0, "/a.so,/b.so"},
      {"preloadlib = normalised", "preloadlib = /a.so,/b.so\n", "", "", 1, 0, "/a.so:/b.so:"},
      {"logfile with a colon", "logfile: /var/x.log\ndeleteonudf = 2\n", "/var/x.log", "", 1, 8,
       ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    MDS_Context ctx{};
    ctx.langopt = 1;
    MdsConf conf;
    MDS_ReadConf(&ctx, r.text, conf);
    EXPECT_STREQ(ctx.logfile, r.logfile);
    EXPECT_STREQ(ctx.defgroup, r.defgroup);
    EXPECT_EQ(ctx.langopt, r.langopt);
    EXPECT_EQ(ctx.options, r.options);
    EXPECT_EQ(conf.preload, r.preload);
  }
}

TEST(MdsConf, OverridesAndTooLongValues) {
  MDS_Context ctx{};
  MdsConf conf;
  MDS_ReadConf(&ctx,
               "OWFUNC = /x.so:MDS_GroupUListGet,MDS_GroupAListGet\n"
               "owfunc = no colon here\n"
               "owfunc = /a.so,/b.so:MDS_Shutdown:\n",
               conf);
  ASSERT_EQ(conf.overrides.size(), 2u);
  EXPECT_EQ(conf.overrides[0].libraries, "/x.so:");
  EXPECT_EQ(conf.overrides[0].operations, "MDS_GroupUListGet:MDS_GroupAListGet:");
  EXPECT_EQ(conf.overrides[1].libraries, "/a.so:/b.so:");
  EXPECT_EQ(conf.too_long, "");
  MdsConf longer;
  MDS_ReadConf(&ctx, "defaultgroup = /" + std::string(300, 'g') + "\n", longer);
  EXPECT_EQ(longer.too_long, "defaultgroup = ");
  EXPECT_STREQ(ctx.defgroup, "");  // not cut to another group
}

class MdsInit : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    setenv("AD_MDS_LOG", root.Path("tmp/calls.log").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("AD_MDS_LOG");
    unsetenv("AD_MDS_ANSWERS");
  }
  // Writes a configuration under a name of its own (the cache of
  // configuration files keeps each name's first text) and opens it.
  int InitWith(MDS_Context& ctx, const std::string& conf, const char* assignment = nullptr) {
    std::string name = "etc/test" + std::to_string(++configs_) + ".conf";
    root.Write(name, conf);
    return MDS_Init(&ctx, root.Path(name).c_str(), assignment);
  }
  std::string Calls() const { return root.Read("tmp/calls.log"); }

 private:
  int configs_ = 0;
};

TEST_F(MdsInit, AssignmentsChooseTheFileAndTheDomain) {
  root.Write("etc/mds.conf", "defaultgroup = /FromEtc\n");
  MDS_Context ctx;
  // "lgrp://" reads no file: the defaults stay.
  ASSERT_EQ(MDS_Init(&ctx, nullptr, "lgrp://anything"), 0);
  EXPECT_STREQ(ctx.defgroup, "/UNCATEGORIZED");
  EXPECT_EQ(std::string(ctx.logfile), root.Path("log/mds.log"));
  EXPECT_EQ(MDS_Close(&ctx), 6);
  // A lone "@" chooses nothing but is kept.
  ASSERT_EQ(MDS_Init(&ctx, nullptr, "@"), 0);
  EXPECT_STREQ(ctx.assignment, "@");
  EXPECT_STREQ(ctx.defgroup, "/FromEtc");
  MDS_Close(&ctx);
  // A scheme holding "/" is refused.
  EXPECT_EQ(MDS_Init(&ctx, nullptr, "a/b://x"), -1);
  EXPECT_THAT(Log("error.log"), HasSubstr("MDS_Init: access violation with assignment 'a/b://'"));
  // Other schemes read etc/mds.<scheme>.conf, else etc/mds.conf.
  root.Write("etc/mds.ldap.conf", "defaultgroup = /FromLdap\n");
  ASSERT_EQ(MDS_Init(&ctx, nullptr, "ldap://h.example/o=x"), 0);
  EXPECT_STREQ(ctx.defgroup, "/FromLdap");
  EXPECT_EQ(MDS_LGRP_Domain(&ctx), "h.example");
  MDS_Close(&ctx);
  // Domains that are no folder name are refused before anything is read.
  for (const char* bad : {"@..", "@.", "@a/b", "mds://x@../y", "PA.book@..", "ldap://../x"}) {
    EXPECT_EQ(MDS_Init(&ctx, nullptr, bad), -1) << bad;
  }
  // A multi-domain site reads the domain's own file.
  root.Site("MultiDomain = 1");
  root.Write("domains/d.org/mds.conf", "defaultgroup = /FromDomain\n");
  ASSERT_EQ(MDS_Init(&ctx, nullptr, "@d.org"), 0);
  EXPECT_STREQ(ctx.defgroup, "/FromDomain");
  EXPECT_EQ(std::string(ctx.base), root.Path("domains/d.org"));
  EXPECT_EQ(MDS_ContextDomain(&ctx), "d.org");
  MDS_Close(&ctx);
}

TEST_F(MdsInit, PreloadListsAndTheirFailures) {
  const std::string rec = Lib("libmds_rec.so"), nosearch = Lib("libmds_rec_nosearch.so");
  MDS_Context ctx;
  // "preloadlib: " takes the list as written: one library without ":" loads
  // nothing; the same on a "preloadlib = " line loads.
  EXPECT_EQ(InitWith(ctx, "preloadlib: " + rec + "\n"), -1);
  EXPECT_THAT(Log("mds.log"), HasSubstr("MDS_Init: dlopen " + rec + " failed\n"));
  ASSERT_EQ(InitWith(ctx, "preloadlib = " + rec + "\n"), 0);
  EXPECT_NE(ctx.handles[0], nullptr);
  EXPECT_EQ(ctx.handles[1], nullptr);
  EXPECT_EQ(MDS_Close(&ctx), 0);
  EXPECT_EQ(ctx.handles[0], nullptr);
  // A library missing one of the 25 names fails the whole initialisation,
  // and nothing stays recorded.
  EXPECT_EQ(InitWith(ctx, "preloadlib = " + nosearch + "\n"), -1);
  EXPECT_THAT(Log("mds.log"), HasSubstr("MDS_Init: dlsym MDS_UserSearch failed ("));
  EXPECT_EQ(ctx.handles[0], nullptr);
  // With several libraries the names are looked up in the last one only.
  ASSERT_EQ(InitWith(ctx, "preloadlib = " + nosearch + "," + rec + "\n"), 0);
  MdsMemberList hits;
  EXPECT_EQ(MDS_UserSearch(&ctx, "x", &hits.items, &hits.count), 0);
  MDS_Close(&ctx);
  EXPECT_EQ(InitWith(ctx, "preloadlib = " + rec + "," + nosearch + "\n"), -1);
  EXPECT_EQ(InitWith(ctx, "preloadlib = /no/such/lib.so\n"), -1);
  EXPECT_THAT(Log("mds.log"), HasSubstr("MDS_Init: dlopen /no/such/lib.so: failed ("));
  // The log file the configuration names gets the lines.
  EXPECT_EQ(InitWith(ctx, "logfile = " + root.Path("log/other.log") + "\npreloadlib = /x.so\n"),
            -1);
  EXPECT_THAT(Log("other.log"), HasSubstr("MDS_Init: dlopen /x.so: failed"));
}

TEST_F(MdsInit, OverridesReplaceSingleOperations) {
  const std::string rec = Lib("libmds_rec.so");
  MDS_Context ctx;
  ASSERT_EQ(InitWith(ctx, "OwFunc = " + rec + ":MDS_UserGListGet,MDS_GroupIsAdm\n"), 0);
  EXPECT_EQ(MDS_GroupIsAdm(&ctx, "alice"), 2);  // the library's
  MdsStringList groups;
  ASSERT_EQ(MDS_UserGListGet(&ctx, "alice", &groups.items, &groups.count), 0);
  EXPECT_THAT(Strings(groups), ElementsAre("/rec"));
  EXPECT_EQ(MDS_IsUserExist(&ctx, "alice"), 0);  // still built in
  EXPECT_EQ(MDS_Close(&ctx), 6);
  EXPECT_EQ(Calls(), "rec\tGroupIsAdm\talice\nrec\tUserGListGet\talice\n");
  // Operation names are exact.
  EXPECT_EQ(InitWith(ctx, "owfunc = " + rec + ":mds_UserGListGet\n"), -1);
  EXPECT_THAT(Log("mds.log"), HasSubstr("MDS_Init: unknown owfunc mds_UserGListGet\n"));
  EXPECT_THAT(Log("mds.log"),
              HasSubstr("MDS_Init: owfunc " + rec + "::mds_UserGListGet: failed\n"));
  EXPECT_EQ(InitWith(ctx, "owfunc = " + Lib("libmds_rec_nosearch.so") + ":MDS_UserSearch\n"), -1);
  EXPECT_THAT(Log("mds.log"), HasSubstr("MDS_Init: owfunc dlsym MDS_UserSearch failed ("));
}

TEST_F(MdsInit, DispatchCutsGroupIdsAndRestoresRecords) {
  MDS_Context ctx;
  ASSERT_EQ(InitWith(ctx, "preloadlib = " + Lib("libmds_rec.so") + "\n", "@d.org"), 0);
  MdsMemberList members;
  EXPECT_EQ(MDS_GroupUListGet(&ctx, "/Sales@d.org", &members.items, &members.count), 0);
  EXPECT_EQ(MDS_GroupRename(&ctx, "/A\x81@B@x", nullptr, "New@Name"), 0);
  EXPECT_EQ(MDS_GroupUserMove(&ctx, "bob@d.org", "/From@d", "/To"), 0);
  EXPECT_EQ(MDS_UserCreate(&ctx, "carol@d.org", "pw", "/G@e", nullptr), 0);
  MdsGroupInfoRecord info;
  info.rec.f[0] = MdsStrDup("/New@d.org");
  info.rec.f[1] = MdsStrDup("list@d.org");
  char* original = info.rec.f[0];
  EXPECT_EQ(MDS_GroupCreate(&ctx, &info.rec), 0);
  EXPECT_EQ(info.rec.f[0], original);
  EXPECT_STREQ(info.rec.f[0], "/New@d.org");
  std::string huge = "/" + std::string(3000, 'g');
  EXPECT_EQ(MDS_GroupDelete(&ctx, huge.c_str()), 5);  // never cut into another group
  EXPECT_EQ(MDS_Close(&ctx), 0);
  EXPECT_EQ(Calls(),
            "rec\tGroupUListGet\t/Sales\n"
            "rec\tGroupRename\t/A\x81@B\t(null)\tNew@Name\n"
            "rec\tGroupUserMove\tbob@d.org\t/From\t/To\n"
            "rec\tUserCreate\tcarol@d.org\tpw\t/G\n"
            "rec\tGroupCreate\t/New\tlist@d.org\n"
            "rec\tShutdown\t@d.org\n");
}

// A back end that asks for its own settings gets mds.conf's "backendconf"
// (below the root when relative), once per library loaded, after its slots
// are filled; its refusal fails the context.
TEST_F(MdsInit, BackEndsGetTheirOwnSettingsFile) {
  const std::string conf = Lib("libmds_rec_conf.so");
  struct Row {
    std::string text;
    const char* calls;
  } rows[] = {
      {"preloadlib = " + conf + "\nbackendconf = etc/rec.conf\n",
       "conf\tConfigure\t{root}/etc/rec.conf\nconf\tShutdown\t\n"},
      {"backendconf = /abs/rec.conf\nowfunc = " + conf + ":MDS_UserGListGet\n",
       "conf\tConfigure\t/abs/rec.conf\n"},
      {"preloadlib = " + conf + "\n", "conf\tConfigure\t(null)\nconf\tShutdown\t\n"},
      {"preloadlib = " + Lib("libmds_rec.so") + "\nbackendconf = etc/rec.conf\n",
       "rec\tShutdown\t\n"},  // no MDS_Configure: nothing to hand
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    root.Write("tmp/calls.log", "");
    MDS_Context ctx;
    ASSERT_EQ(InitWith(ctx, r.text), 0);
    MDS_Close(&ctx);
    std::string want = r.calls;
    if (std::size_t at = want.find("{root}"); at != std::string::npos) {
      want.replace(at, 6, root.path());
    }
    EXPECT_EQ(Calls(), want);
  }
  setenv("AD_MDS_ANSWERS", "Configure=7", 1);
  MDS_Context ctx;
  EXPECT_EQ(InitWith(ctx, "preloadlib = " + conf + "\n"), -1);
  EXPECT_THAT(Log("mds.log"), HasSubstr("MDS_Init: MDS_Configure((null))=7\n"));
  EXPECT_EQ(ctx.handles[0], nullptr);
}

TEST(MdsDispatch, EmptySlotsAnswerWithoutACall) {
  MDS_Context ctx{};
  MdsStringList list;
  EXPECT_EQ(MDS_UserGListGet(&ctx, "alice", &list.items, &list.count), 2);
  EXPECT_EQ(MDS_GroupDelete(&ctx, "/x"), 2);
  EXPECT_EQ(MDS_GroupCreate(&ctx, nullptr), 2);
  EXPECT_EQ(MDS_GroupIsAdm(&ctx, "alice"), -1);
  EXPECT_EQ(MDS_IsUserExist(&ctx, "alice"), -1);
  EXPECT_EQ(MDS_Close(&ctx), 2);
}

TEST_F(MdsInit, ALoadedBackEndServesTheStore) {
  MDS_Context ctx;
  ASSERT_EQ(InitWith(ctx, "preloadlib = " + Lib("libmds_lgrp.so") + "\n"), 0);
  ASSERT_EQ(Create(&ctx, "/Sales"), 0);
  ASSERT_EQ(MDS_GroupUserCreate(&ctx, "/Sales", "alice"), 0);
  EXPECT_EQ(MDS_Close(&ctx), 0);  // the library's MDS_Shutdown
  MDS_Context* builtin = Open();
  EXPECT_THAT(UserGroups(builtin, "alice"), ElementsAre("/Sales"));
  EXPECT_THAT(Log("mds.log"), Not(HasSubstr("failed")));
}

}  // namespace
