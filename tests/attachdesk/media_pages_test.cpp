// The background image, background sound and inline image pages, with
// attachdesk run as a CGI program against a temporary root.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cabinet/cabinet_fixture.h"
#include "host/charset/names.h"
#include "host/files/files.h"
#include "host/files/hashed_store.h"
#include "support/cgi_run.h"
#include "support/http_server.h"
#include "support/test_root.h"

using testing::HasSubstr;
using testing::MatchesRegex;
using testing::Not;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr char kBackground[] =
    "E=$ERRORMSG|B=$bgfile|D=$filedownload|S=$filesize|T=$type|U=$auth|A=$atid"
    "|<!--$hasdata-->HAS<!--/$hasdata--><!--$ifhelp-->HELP<!--/$ifhelp-->\n";
constexpr char kBacksound[] =
    "E=$ERRORMSG|B=$bsfile|W=$downfile|D=$filedownload|S=$filesize|T=$type|U=$auth"
    "|<!--$ifauth-->AUTH<!--/$ifauth--><!--$ifnauth-->NAUTH<!--/$ifnauth-->"
    "|<!--$ifinit-->INIT<!--/$ifinit--><!--$ifninit-->NINIT<!--/$ifninit-->"
    "|<!--$hasdata-->HAS<!--/$hasdata-->\n";
constexpr char kImage[] =
    "E=$ERRORMSG|D=$filedownload|<!--$update-->UP<!--/$update-->"
    "|<!--$ifsize-->SIZE=$width x $height<!--/$ifsize-->|A=$atid\n";

// Files of a kind, padded to `size` bytes.
std::string Padded(std::string head, std::size_t size) {
  if (head.size() < size) head.resize(size, '\x01');
  return head;
}
std::string Png(std::size_t size = 64) {
  return Padded(std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), size);
}
std::string Gif(std::size_t size = 64) {
  return Padded("GIF89a\x01\0\x01\0", size);
}
std::string Wav(std::size_t size = 64) {
  return Padded(std::string("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0", 20), size);
}

class MediaPagesTest : public testing::Test {
 protected:
  void SetUp() override {
    root.AddUser("alice");
    root.Write("httpd/template/en/background.dat", kBackground);
    root.Write("httpd/template/en/backsound.dat", kBacksound);
    root.Write("httpd/template/en/imageadd.dat", kImage);
    for (const char* conf : {"mime.types", "magic"}) {
      std::string text;
      MFILE_Read(std::string(AD_SOURCE_DIR) + "/conf/" + conf, text);
      root.Write(std::string("httpd/conf/") + conf, text);
    }
  }

  CgiResult Post(const Multipart& form, std::function<void()> in_child = nullptr) {
    CgiRequest req;
    req.method = "POST";
    req.content_type = form.ContentType();
    req.body = form.Body();
    req.env["AD_ENGINE_LOG"] = root.Path("engine.log");
    req.in_child = std::move(in_child);
    return RunCgi("attachdesk", root.path(), req);
  }
  CgiResult Get(const std::string& query) {
    CgiRequest req;
    req.query = query;
    return RunCgi("attachdesk", root.path(), req);
  }
  static Multipart Upload(const std::string& atid, const std::string& name,
                          const std::string& data) {
    Multipart form;
    form.Field("atid", atid).File("newfile", name, data);
    return form;
  }

  // Files below the hashed store, as "XX/YY/name", sorted.
  std::vector<std::string> Stored() {
    std::vector<std::string> files;
    if (!fs::exists(HashedStoreRoot())) return files;
    for (const auto& e : fs::recursive_directory_iterator(HashedStoreRoot())) {
      if (!e.is_directory()) files.push_back(HashedStoreReference(e.path().string()));
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  std::string Store(const std::string& reference) { return HashedStoreRoot() + "/" + reference; }

  TestRoot root;
};

// The stored name of a background: the process id in upper-case hex, the
// user id, the quoted-printable base name; its folder comes from the name.
TEST_F(MediaPagesTest, ABackgroundIsStoredListedAndShown) {
  struct Case {
    const char *atid, *list, *name;
    std::string data;
  } cases[] = {{"bg1", "BG", "sky.png", Png(100)}, {"bs1", "BS", "tune.wav", Wav(90)}};
  for (const Case& c : cases) {
    Multipart form = Upload(c.atid, c.name, c.data);
    form.Field("type", "3");
    CgiResult r = Post(form);
    ASSERT_EQ(r.status, 0) << r.error;
    ASSERT_EQ(Stored().size(), 1u) << c.atid;
    const std::string ref = Stored()[0];
    const std::string stored = ref.substr(6);
    EXPECT_THAT(stored, MatchesRegex(std::string("[0-9A-F]+alice") + c.name));
    EXPECT_EQ(ref.substr(0, 5), HashedStoreSubdir(stored));
    EXPECT_EQ(
        root.Read("tmp/alice_1_" + std::string(c.list) + ".dat"),
        std::string(c.name) + ";" + Store(ref) + ";" + std::to_string(c.data.size()) + ";3\n");
    EXPECT_THAT(r.page, HasSubstr("E=0|B=" + std::string(c.name)));
    EXPECT_THAT(r.page, HasSubstr("|D=" + ref + "|S=" + std::to_string(c.data.size()) + "|T=3|"));
    EXPECT_THAT(r.page, HasSubstr("HAS"));
    EXPECT_EQ(root.Read(Store(ref).substr(root.path().size() + 1)), c.data);
    struct stat st;
    ASSERT_EQ(stat(Store(ref).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    fs::remove_all(HashedStoreRoot());
  }
}

// Every name makes a file in the store and one list line that names it
// whole; the page escapes what it shows.
TEST_F(MediaPagesTest, HostileNamesStoreAndListOnOneLine) {
  struct Case {
    std::string client, stored_tail, listed;
  } cases[] = {
      {"a=b c.png", "a=3Db c.png", "a=b c.png"},
      {"x;y.png", "x=3By.png", "x&#59;y.png"},
      {"C:\\pics\\evil.png", "evil.png", "evil.png"},
      {"<b>'.png", "<b>'.png", "<b>'.png"},
      {"pic&#12", "pic=26#12", "pic&#38;#12"},
      {"tab\there.png", "tab\there.png", "tab_here.png"},
      {"\xff\xfe.png", "=FF=FE.png", ""},
      {std::string(300, 'l') + ".png", ".png", ""},
  };
  for (const Case& c : cases) {
    fs::remove_all(HashedStoreRoot());
    CgiResult r = Post(Upload("bg1", c.client, Png()));
    ASSERT_THAT(r.page, HasSubstr("E=0|")) << VisibleHex(c.client);
    ASSERT_EQ(Stored().size(), 1u);
    const std::string ref = Stored()[0];
    EXPECT_TRUE(ref.ends_with(c.stored_tail)) << VisibleHex(ref);
    EXPECT_LE(Store(ref).size(), 255u);
    std::string list = root.Read("tmp/alice_1_BG.dat");
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 1) << VisibleHex(list);
    EXPECT_THAT(list, HasSubstr(";" + Store(ref) + ";64;0\n")) << VisibleHex(list);
    if (!c.listed.empty()) EXPECT_EQ(list.substr(0, list.find(';' + Store(ref))), c.listed);
    EXPECT_THAT(r.page, Not(HasSubstr("<b>")));
  }
  // A CR and LF in a name sent as an extended parameter.
  fs::remove_all(HashedStoreRoot());
  Multipart form;
  form.Field("atid", "bg1").Field("newfile\"; filename*=UTF-8''a%0D%0Ab.png; x=\"", Png());
  ASSERT_THAT(Post(form).page, HasSubstr("E=0|B=a__b.png|"));
  EXPECT_TRUE(Stored()[0].ends_with("alicea=0D=0Ab.png")) << Stored()[0];
  EXPECT_THAT(root.Read("tmp/alice_1_BG.dat"), testing::StartsWith("a__b.png;"));
}

// Only the bytes decide the kind; a refused file leaves nothing in the store
// and the list as it was.
TEST_F(MediaPagesTest, TheKindIsDecidedByTheBytes) {
  const std::string html = "<html><body><script>alert(1)</script></body></html>\n";
  const std::string svg = "<?xml version=\"1.0\"?><svg xmlns=\"http://www.w3.org/2000/svg\"/>\n";
  struct Case {
    const char *atid, *name;
    std::string data;
    int code;
  } cases[] = {
      {"bg1", "pic.png", html, 5},
      {"bg1", "pic.svg", svg, 5},
      {"bg1", "pic.png", "just text\n", 5},
      {"bg1", "pic.gif", Gif(), 0},
      {"bs1", "tune.wav", Png(), 5},
      {"bs1", "tune.png", Wav(), 0},
      {"bs1", "tune.mp3", std::string("ID3\x03\0\0\0\0\0\x0a", 10) + "xxxx", 0},
      {"img1", "a.txt", Gif(), 0},
      {"img1", "a.png", html, 5},
      {"img1", "a.png", svg, 5},
  };
  for (const Case& c : cases) {
    fs::remove_all(HashedStoreRoot());
    root.Write("tmp/alice_1_BG.dat", "old.png;/x;1;1\n");
    root.Write("tmp/alice_1_BS.dat", "old.wav;/x;1;1\n");
    CgiResult r = Post(Upload(c.atid, c.name, c.data));
    EXPECT_THAT(r.page, HasSubstr("E=" + std::to_string(c.code) + "|")) << c.atid << " " << c.name;
    EXPECT_EQ(Stored().size(), c.code == 0 ? 1u : 0u) << c.atid << " " << c.name;
    if (c.code != 0) {
      // A listed path outside the store gives no download reference.
      if (std::string(c.atid) == "bg1") EXPECT_THAT(r.page, HasSubstr("|B=old.png|D=|S=1|"));
      EXPECT_EQ(root.Read("tmp/alice_1_BG.dat"), "old.png;/x;1;1\n");
      EXPECT_EQ(root.Read("tmp/alice_1_BS.dat"), "old.wav;/x;1;1\n");
    }
  }
}

TEST_F(MediaPagesTest, SizeLimitAndVirusCheck) {
  root.Site("Level0.AttachSizeKB = 1");
  for (const char* atid : {"bg1", "img1"}) {
    fs::remove_all(HashedStoreRoot());
    EXPECT_THAT(Post(Upload(atid, "fit.png", Png(1024))).page, HasSubstr("E=0|")) << atid;
    EXPECT_THAT(Post(Upload(atid, "over.png", Png(1025))).page, HasSubstr("E=2|")) << atid;
    EXPECT_EQ(Stored().size(), 1u) << atid;
  }
  root.Write("etc/site.conf", "Level0.Privileges = 128\n");
  root.Write("etc/avscan.conf",
             "Vendor = test\nEngineLib = " + std::string(AD_LIB_DIR) + "/libtav_marker.so\n");
  root.Write("tmp/alice_1_BG.dat", "old.png;/x;1;1\n");
  fs::remove_all(HashedStoreRoot());
  for (const char* atid : {"bg1", "img1"}) {
    EXPECT_THAT(Post(Upload(atid, "C:\\in\\bad.png", Png() + "VIRUS-MARKER Eicar")).page,
                HasSubstr("E=6|"))
        << atid;
  }
  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ(root.Read("tmp/alice_1_BG.dat"), "old.png;/x;1;1\n");
  std::string log;
  for (const auto& e : fs::directory_iterator(root.Path("log"))) {
    std::string name = e.path().filename().string();
    if (name.starts_with("virus.log.")) log += root.Read("log/" + name);
  }
  EXPECT_THAT(log,
              HasSubstr("\tEicar\talice@localhost\talice@localhost\tC:\\in\\bad.png\tATTACH\t"));
  EXPECT_THAT(Post(Upload("bs1", "clean.wav", Wav())).page, HasSubstr("E=0|"));
}

// "del" deletes the stored file only below the store, and the list in any
// case; the request takes no source.
TEST_F(MediaPagesTest, DelDeletesOnlyBelowTheStore) {
  fs::create_directories(root.Path("tmp/outside"));
  root.Write("tmp/outside/victim", "keep");
  struct Case {
    std::string path;
    bool deleted;
  } cases[] = {
      {Store("0a/0b/old.png"), true},
      {root.Path("tmp/outside/victim"), false},
      {Store("../../../tmp/outside/victim"), false},
      {Store("3f/linked/victim"), false},  // a folder link leading out
  };
  fs::create_directories(Store("3f"));
  fs::create_directory_symlink(root.Path("tmp/outside"), Store("3f/linked"));
  for (const Case& c : cases) {
    root.Write("httpd/html/hashed_store/0a/0b/old.png", "x");
    root.Write("tmp/alice_1_BG.dat", "old.png;" + c.path + ";1;0\n");
    Multipart form = Upload("bg1", "new.png", Png());
    form.Field("del", "1");
    CgiResult r = Post(form);
    EXPECT_THAT(r.page, HasSubstr("E=0|B=|D=|S=0|T=0|")) << c.path;
    EXPECT_THAT(r.page, HasSubstr("HELP")) << c.path;
    EXPECT_FALSE(root.Exists("tmp/alice_1_BG.dat")) << c.path;
    EXPECT_EQ(root.Exists("httpd/html/hashed_store/0a/0b/old.png"), !c.deleted) << c.path;
    EXPECT_EQ(root.Read("tmp/outside/victim"), "keep");
  }
  EXPECT_EQ(Stored(), std::vector<std::string>{"0a/0b/old.png"});  // the upload was not taken
}

// "type" alone changes the type and answers no page; with "doc", an upload
// or a URL it is the type of what comes.
TEST_F(MediaPagesTest, TypeOnlyUpdate) {
  const std::string line = "sky.png;" + Store("0a/0b/s.png") + ";5;2\n";
  root.Write("tmp/alice_1_BG.dat", line);
  CgiRequest req;
  req.method = "POST";
  req.content_type = "application/x-www-form-urlencoded";
  req.body = "atid=bg1&type=3";
  CgiResult r = RunCgi("attachdesk", root.path(), req);
  EXPECT_EQ(r.output, "Status: 204 No Content\r\n\r\n");
  EXPECT_EQ(root.Read("tmp/alice_1_BG.dat"), "sky.png;" + Store("0a/0b/s.png") + ";5;3\n");

  EXPECT_THAT(Get("atid=bg1&doc=1&type=4").page, HasSubstr("E=0|B=sky.png|"));
  EXPECT_THAT(root.Read("tmp/alice_1_BG.dat"), testing::EndsWith(";5;3\n"));

  req.body = "atid=bs1&type=3";
  EXPECT_EQ(RunCgi("attachdesk", root.path(), req).output, "Status: 204 No Content\r\n\r\n");
  EXPECT_FALSE(root.Exists("tmp/alice_1_BS.dat"));  // no list is made for a type

  Multipart form = Upload("bg1", "new.png", Png());
  form.Field("type", "4");
  r = Post(form);
  ASSERT_EQ(Stored().size(), 1u);
  EXPECT_THAT(r.page, HasSubstr("E=0|B=new.png|D=" + Stored()[0] + "|S=64|T=4|"));
}

// A change of a background list waits for the window's turn, which the
// attachment window's requests and the clean-up of tmp/ also take, and leaves
// no lock file behind.
TEST_F(MediaPagesTest, ChangesTakeTheWindowsTurn) {
  const std::string line = "sky.png;" + Store("0a/0b/s.png") + ";5;2\n";
  root.Write("tmp/alice_1_BG.dat", line);
  const std::string lock = root.Path("tmp/alice_1_Attach.dat.lock");
  // O_CLOEXEC: the program started below must not inherit the held lock.
  int held = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  CgiResult r;
  std::thread request([&] {
    CgiRequest req;
    req.method = "POST";
    req.content_type = "application/x-www-form-urlencoded";
    req.body = "atid=bg1&type=3";
    r = RunCgi("attachdesk", root.path(), req);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(root.Read("tmp/alice_1_BG.dat"), line);  // still waiting
  unlink(lock.c_str());
  close(held);
  request.join();
  EXPECT_EQ(r.output, "Status: 204 No Content\r\n\r\n");
  EXPECT_THAT(root.Read("tmp/alice_1_BG.dat"), testing::EndsWith(";5;3\n"));
  EXPECT_FALSE(root.Exists("tmp/alice_1_Attach.dat.lock"));
  // A page that changes nothing takes no turn: it answers while one is held.
  held = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  EXPECT_THAT(Get("atid=bg1&init=1").page, HasSubstr("B=sky.png|"));
  close(held);
}

TEST_F(MediaPagesTest, InitOnlyShowsThePage) {
  root.Write("tmp/alice_1_BS.dat", "old.wav;" + Store("0a/0b/o.wav") + ";9;1\n");
  Multipart form = Upload("bs1", "new.wav", Wav());
  form.Field("init", "1").Field("del", "1");
  CgiResult r = Post(form);
  EXPECT_THAT(r.page, HasSubstr("E=0|B=old.wav|W=o.wav|D=0a/0b/o.wav|S=9|T=1|U=|NAUTH|INIT|HAS"));
  EXPECT_TRUE(root.Exists("tmp/alice_1_BS.dat"));
  form = Upload("img1", "new.png", Png());
  form.Field("init", "1");
  EXPECT_THAT(Post(form).page, HasSubstr("E=0|D=||"));
  EXPECT_TRUE(Stored().empty());
}

// The background pages take every source, the last one wins; the image page
// takes the first only.
TEST_F(MediaPagesTest, SourcesAndWebAddresses) {
  root.Site("FetchAllowPrivate = 1");
  HttpServer server;
  server.Serve("/dir/pic.gif", Gif(70));
  server.Serve("/page.gif", "<html><body>not a picture</body></html>\n");
  const std::string url = server.Host() + "/dir/pic.gif";

  Multipart form = Upload("bg1", "up.png", Png());
  form.Field("newfile2", url);
  EXPECT_THAT(Post(form).page, HasSubstr("E=0|B=pic.gif|"));
  EXPECT_EQ(Stored().size(), 2u);  // the upload stays stored, unlisted
  EXPECT_THAT(root.Read("tmp/alice_1_BG.dat"), MatchesRegex("pic\\.gif;.*alicepic\\.gif;70;0\n"));

  fs::remove_all(HashedStoreRoot());
  form = Upload("img1", "up.png", Png());
  form.Field("newfile2", url);
  server.Targets();
  CgiResult r = Post(form);
  ASSERT_EQ(Stored().size(), 1u);
  EXPECT_THAT(r.page, HasSubstr("E=0|D=" + Stored()[0].substr(6) + "/up.png|UP|"));
  EXPECT_TRUE(server.Targets().empty());

  struct Case {
    const char* atid;
    std::string url;
    const char* page;
    bool upload = false;  // an upload comes first
  } cases[] = {
      {"bg1", server.Host() + "/missing.gif", "E=0|B=pic.gif|"},  // no error, list unchanged
      {"bg1", server.Host() + "/page.gif", "E=5|"},
      {"bg1", server.Host() + "/page.gif", "E=5|", true},  // the upload goes too
      {"img1", server.Host() + "/missing.gif", "E=4|D=||"},
      {"img1", server.Host() + "/page.gif", "E=5|D=||"},
  };
  for (const Case& c : cases) {
    fs::remove_all(HashedStoreRoot());
    Multipart f;
    f.Field("atid", c.atid).Field("newfile2", c.url);
    if (c.upload) f.File("newfile", "up.png", Png());
    EXPECT_THAT(Post(f).page, HasSubstr(c.page)) << c.atid << " " << c.url;
    EXPECT_TRUE(Stored().empty()) << c.url;
    EXPECT_THAT(root.Read("tmp/alice_1_BG.dat"), MatchesRegex("pic\\.gif;.*;70;0\n"));
  }
  // A fetched file over the size limit does not stay in the store.
  root.Site("Level0.AttachSizeKB = 0");
  for (const char* atid : {"bg1", "img1"}) {
    Multipart f;
    f.Field("atid", atid).Field("newfile2", url);
    EXPECT_THAT(Post(f).page, HasSubstr("E=2|")) << atid;
    EXPECT_TRUE(Stored().empty()) << atid;
  }
  for (const auto& e : fs::directory_iterator(root.Path("tmp"))) {
    EXPECT_THAT(e.path().filename().string(), MatchesRegex("alice_1_B[GS]\\.dat"));
  }
}

// "%ld%ld%d%s": microseconds, process id, size (a URL's length as sent) and
// the extension with its case; the reference adds the client's name.
TEST_F(MediaPagesTest, ImageNamesAndReference) {
  const std::string pid_file = root.Path("pid");
  auto record_pid = [pid_file] { std::ofstream(pid_file) << getpid(); };
  struct Case {
    std::string client, ext, shown;
  } cases[] = {
      {"photo.JPG", ".JPG", "photo.JPG"},
      {"noext", "", "noext"},
      {"C:\\x\\<b>&.png", ".png", "&lt;b&gt;&amp;.png"},
      {"a%b#c?.gif", ".gif", "a_b_c_.gif"},
      {"long." + std::string(100, 'e'), "." + std::string(31, 'e'),
       "long." + std::string(100, 'e')},
  };
  for (const Case& c : cases) {
    fs::remove_all(HashedStoreRoot());
    CgiResult r = Post(Upload("img1", c.client, Gif(77)), record_pid);
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(Stored().size(), 1u) << c.client;
    std::string stored = Stored()[0].substr(6);
    EXPECT_THAT(stored, MatchesRegex("[0-9]{1,6}" + root.Read("pid") + "77" +
                                     std::regex_replace(c.ext, std::regex("\\."), "\\.")));
    EXPECT_THAT(r.page, HasSubstr("E=0|D=" + stored + "/" + c.shown + "|UP|")) << c.client;
  }
  CgiResult r = Get("atid=img1&dc_base=bob&dir_path=%2F&defsize=1&owidth=320&oheight=200");
  EXPECT_THAT(r.page, HasSubstr("E=0|D=||SIZE=320 x 200|A=img1"));
}

// alice's cabinet: pictures, a sound, a web page, a file with a virus
// marker, a folder, links leading out; her folder /shared is granted to bob.
class MediaCabinetTest : public MediaPagesTest {
 protected:
  void SetUp() override {
    MediaPagesTest::SetUp();
    root.AddUser("bob");
    root.Write("etc/avscan.conf",
               "Vendor = test\nEngineLib = " + std::string(AD_LIB_DIR) + "/libtav_marker.so\n");
    root.Write("home/alice/dc/pics/sky.png", Png(100));
    root.Write("home/alice/dc/pics/tune.wav", Wav(90));
    root.Write("home/alice/dc/pics/page.html", "<html><body>not a picture</body></html>\n");
    root.Write("home/alice/dc/pics/bad.png", Png() + "VIRUS-MARKER Eicar");
    root.Write("home/alice/dc/pics/big.png", Png(1025));
    root.Write("home/alice/dc/pics/huge.png", Png());
    fs::resize_file(root.Path("home/alice/dc/pics/huge.png"), 5ULL << 30);
    root.Write("home/alice/dc/pics/sub/deep.png", Png(80));
    root.Write("home/alice/dc/shared/sea.gif", Gif(70));
    root.Write("outside/out.png", Png());
    symlink(root.Path("outside/out.png").c_str(), root.Path("home/alice/dc/pics/leak.png").c_str());
    symlink(root.Path("outside").c_str(), root.Path("home/alice/dc/outdir").c_str());
    cabinet_test::AddGrant("alice", "/shared", "bob", 2, 1);
  }

  CgiResult Get(const std::string& query, const std::string& user = "alice") {
    CgiRequest req;
    req.query = query;
    req.remote_user = user;
    req.env["AD_ENGINE_LOG"] = root.Path("engine.log");
    return RunCgi("attachdesk", root.path(), req);
  }
};

// A cabinet file is checked as an upload is (size, kind, viruses) and stored
// under the cabinet's name; a name that is no file of the cabinet is code 1,
// one the user may not read (or that does not exist) code 3.
TEST_F(MediaCabinetTest, CabinetFilesBecomeBackgroundsAndImages) {
  const std::string old_bg = "old.png;/x;1;1\n";
  const std::string pics = "dc_base=alice&dir_path=/pics&name=";
  const std::string shared = "dc_base=*alice&dir_path=/shared&name=";
  const std::string virus = "Level0.Privileges = 128";
  const std::string small = "Level0.AttachSizeKB = 1";
  struct Case {
    const char* atid;
    std::string query;  // after "atid=<atid>&"
    int code;
    std::string taken = {};  // the file taken, below home/alice/dc
    std::string site = {};
    std::string user = "alice";
    int type = 0;
  } cases[] = {
      {"bg1", pics + "sky.png", 0, "pics/sky.png"},
      {"bs1", pics + "tune.wav", 0, "pics/tune.wav"},
      {"img1", pics + "sky.png", 0, "pics/sky.png"},
      {"img1", pics + "sub/deep.png", 0, "pics/sub/deep.png"},
      {"bg1", "doc=1&type=2&" + pics + "sky.png", 0, "pics/sky.png", {}, "alice", 2},
      {"bg1", shared + "sea.gif", 0, "shared/sea.gif", {}, "bob"},
      {"img1", shared + "sea.gif", 0, "shared/sea.gif", {}, "bob"},
      {"bg1", pics + "page.html", 5},
      {"img1", pics + "page.html", 5},
      {"bs1", pics + "sky.png", 5},
      {"bg1", pics + "bad.png", 6, {}, virus},
      {"img1", pics + "bad.png", 6, {}, virus},
      {"bg1", pics + "big.png", 2, {}, small},
      {"img1", pics + "big.png", 2, {}, small},
      {"bg1", pics + "huge.png", 2},
      {"img1", pics + "huge.png", 2},
      {"bg1", pics + "nope.png", 3},
      {"bs1", pics + "nope.wav", 3},
      {"img1", pics + "nope.png", 3},
      {"bg1", pics + "sky.png", 3, {}, {}, "bob"},
      {"img1", "dc_base=*alice&dir_path=/pics&name=sky.png", 3, {}, {}, "bob"},
      {"bg1", pics + "sub", 1},
      {"img1", pics + "leak.png", 1},
      {"bg1", "dc_base=alice&dir_path=/outdir&name=out.png", 1},
  };
  for (const Case& c : cases) {
    const std::string what = std::string(c.atid) + " " + c.user + " " + c.query;
    fs::remove_all(HashedStoreRoot());
    root.Write("etc/site.conf", c.site);
    root.Write("tmp/" + c.user + "_1_BG.dat", old_bg);
    fs::remove(root.Path("tmp/" + c.user + "_1_BS.dat"));
    CgiResult r = Get(std::string("atid=") + c.atid + "&" + c.query, c.user);
    EXPECT_THAT(r.page, HasSubstr("E=" + std::to_string(c.code) + "|")) << what;
    if (c.code != 0) {
      EXPECT_TRUE(Stored().empty()) << what;
      EXPECT_EQ(root.Read("tmp/" + c.user + "_1_BG.dat"), old_bg) << what;
      EXPECT_FALSE(root.Exists("tmp/" + c.user + "_1_BS.dat")) << what;
      continue;
    }
    ASSERT_EQ(Stored().size(), 1u) << what;
    const std::string ref = Stored()[0];
    const std::string stored = ref.substr(6);
    const std::string data = root.Read("home/alice/dc/" + c.taken);
    const std::string name(purename(c.taken));
    EXPECT_EQ(root.Read(Store(ref).substr(root.path().size() + 1)), data) << what;
    if (std::string(c.atid) == "img1") {
      const std::string ext = name.substr(name.rfind('.'));
      EXPECT_THAT(stored, MatchesRegex("[0-9]+" + std::to_string(data.size()) + "\\" + ext));
      EXPECT_THAT(r.page, HasSubstr("E=0|D=" + stored + "/" + name + "|UP|")) << what;
      continue;
    }
    const std::string list = std::string(c.atid) == "bg1" ? "BG" : "BS";
    EXPECT_THAT(stored, MatchesRegex("[0-9A-F]+" + c.user + name)) << what;
    EXPECT_EQ(root.Read("tmp/" + c.user + "_1_" + list + ".dat"),
              name + ";" + Store(ref) + ";" + std::to_string(data.size()) + ";" +
                  std::to_string(c.type) + "\n")
        << what;
    EXPECT_THAT(r.page, HasSubstr("E=0|B=" + name + "|")) << what;
    EXPECT_THAT(r.page, HasSubstr("|D=" + ref + "|S=" + std::to_string(data.size()) +
                                  "|T=" + std::to_string(c.type) + "|"))
        << what;
  }
}

// With an upload and a cabinet file in one request the background pages take
// both, the cabinet file last (the upload stays stored, unlisted); the image
// page takes the upload only.
TEST_F(MediaCabinetTest, UploadAndCabinetFileInOneRequest) {
  for (const char* atid : {"bg1", "img1"}) {
    fs::remove_all(HashedStoreRoot());
    Multipart form = Upload(atid, "up.png", Png());
    form.Field("dc_base", "alice").Field("dir_path", "/pics").Field("name", "sky.png");
    CgiResult r = Post(form);
    if (std::string(atid) == "bg1") {
      EXPECT_THAT(r.page, HasSubstr("E=0|B=sky.png|"));
      EXPECT_EQ(Stored().size(), 2u);
      EXPECT_THAT(root.Read("tmp/alice_1_BG.dat"),
                  MatchesRegex("sky\\.png;.*alicesky\\.png;100;0\n"));
    } else {
      ASSERT_EQ(Stored().size(), 1u);
      EXPECT_THAT(r.page, HasSubstr("E=0|D=" + Stored()[0].substr(6) + "/up.png|UP|"));
    }
  }
}

// The windows' cabinet link opens the cabinet page, whose choice is posted
// back to the window (atid kept).
TEST_F(MediaCabinetTest, TheCabinetPageServesEveryWindow) {
  root.Write("etc/dc_type.conf", "*\tFile\t9\n");
  root.Write("httpd/template/en/cabinet.dat",
             "A=$atid|P=$dcpath|<!--loop $files-->$fname,<!--/loop $files-->\n");
  for (const char* atid : {"bg1", "bs1", "img1"}) {
    CgiResult r = Get(std::string("atid=") + atid + "&dcview=1&dc_base=alice&dir_path=/pics");
    EXPECT_EQ(r.page,
              std::string("A=") + atid + "|P=/pics|bad.png,big.png,huge.png,page.html,sky.png,tune.wav,\n");
  }
  EXPECT_TRUE(Stored().empty());
  EXPECT_FALSE(root.Exists("tmp/alice_1_BG.dat"));
}

// Links planted in the store are never written through, and a list that
// cannot be written is told, its request's files gone.
TEST_F(MediaPagesTest, PlantedLinksAndFailedWrites) {
  const std::string store = HashedStoreRoot();
  const std::string tmp = root.Path("tmp");
  root.Write("tmp/target", "keep");
  auto plant = [store, tmp] {
    char name[64];
    std::snprintf(name, sizeof name, "%Xalicesky.png", static_cast<unsigned>(getpid()));
    std::string folder = filename2path_2level_64_64(name, 0, std::strlen(name));
    symlink((tmp + "/target").c_str(), (folder + "/" + name).c_str());
  };
  CgiResult r = Post(Upload("bg1", "sky.png", Png()), plant);
  EXPECT_THAT(r.page, HasSubstr("E=0|"));
  EXPECT_EQ(root.Read("tmp/target"), "keep");
  std::string list = root.Read("tmp/alice_1_BG.dat");
  EXPECT_THAT(list, MatchesRegex("sky\\.png;.*alicesky-1\\.png;64;0\n"));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(list.substr(8, list.find(";64") - 8))));

  // A folder of the store that is a link leading out.
  fs::remove_all(store);
  fs::create_directories(store);
  fs::create_directories(root.Path("tmp/out"));
  for (int i = 0; i < 64; ++i) {
    char xx[3];
    std::snprintf(xx, sizeof xx, "%02x", i);
    fs::create_directory_symlink(root.Path("tmp/out"), store + "/" + xx);
  }
  EXPECT_THAT(Post(Upload("bg1", "b.png", Png())).page, HasSubstr("E=7|"));
  EXPECT_THAT(Post(Upload("img1", "b.png", Png())).page, HasSubstr("E=7|D=||"));
  EXPECT_TRUE(fs::is_empty(root.Path("tmp/out")));
  EXPECT_EQ(root.Read("tmp/alice_1_BG.dat"), list);

  fs::remove_all(store);
  fs::remove(root.Path("tmp/alice_1_BG.dat"));
  fs::create_directories(root.Path("tmp/alice_1_BG.dat"));  // cannot be replaced
  EXPECT_THAT(Post(Upload("bg1", "c.png", Png())).page, HasSubstr("E=7|"));
  EXPECT_TRUE(Stored().empty());
}

TEST_F(MediaPagesTest, RefusalsAndEscapes) {
  EXPECT_EQ(Get("atid=bg1_2").output.rfind("Status: 400", 0), 0u);
  EXPECT_THAT(Post(Upload("bg", "a.png", Png())).page, HasSubstr("E=8|"));  // no compose window
  EXPECT_THAT(Get("atid=bg").page, HasSubstr("E=0|"));
  EXPECT_TRUE(Stored().empty());

  CgiResult r = Get("atid=bg%3Ci%3E&auth=%22x%22");
  EXPECT_THAT(r.page, HasSubstr("|U=&quot;x&quot;|A=bg&lt;i&gt;|"));
  Multipart form = Upload("bs1", "<i>.wav", Wav());
  form.File("auth", "", "tok<en>");  // the sound page also takes a multipart part
  r = Post(form);
  EXPECT_THAT(r.page, HasSubstr("E=0|B=&lt;i&gt;.wav|W="));
  EXPECT_THAT(r.page, HasSubstr("alice&lt;i&gt;.wav|D="));
  EXPECT_THAT(r.page, HasSubstr("|U=tok&lt;en&gt;|AUTH|"));

  for (const char* page : {"background.dat", "backsound.dat", "imageadd.dat"}) {
    fs::remove(root.Path(std::string("httpd/template/en/") + page));
  }
  for (const char* atid : {"bg1", "bs1", "img1"}) {
    r = Get(std::string("atid=") + atid);
    EXPECT_EQ(r.status, 1) << atid;
    EXPECT_EQ(r.page, "Missing System File.") << atid;
  }
}

}  // namespace
