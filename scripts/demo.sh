#!/usr/bin/env bash
# Builds a throw-away installation root and serves the programs from build/bin/
# behind lighttpd on 127.0.0.1, in the foreground, with a private clamd that
# scans every upload.
#   PORT=8080 scripts/demo.sh      (./dev demo builds first, then runs this)
#   DEMO_DIR=build/e2e/demo PORT=8123 scripts/demo.sh   a second demo elsewhere
#   DEMO_DIRECTORY=ldap scripts/demo.sh   users and groups in a private slapd
# AD_BUILD names another build folder than build/ (its bin/ and lib/ are used).
# Everything under the demo folder (default demo/) is made afresh on each run;
# stop with Ctrl-C or SIGTERM, which also stops the demo's clamd.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
demo=${DEMO_DIR:-$top/demo}
case $demo in /*) ;; *) demo=$(pwd)/$demo ;; esac
root=$demo/root
build=${AD_BUILD:-$top/build}
case $build in /*) ;; *) build=$(pwd)/$build ;; esac
bin=$build/bin
lib=$build/lib
port=${PORT:-8080}
# Marks a folder this script made, so that DEMO_DIR never empties anything else.
marker=.attachdesk-demo

die() { echo "demo: $*" >&2; exit 1; }

[ -x "$bin/attachdesk" ] || die "$bin/attachdesk is missing: run ./dev build first"
[ -x "$bin/attachtool" ] || die "$bin/attachtool is missing: run ./dev build first"
[ -x "$bin/filedownload" ] || die "$bin/filedownload is missing: run ./dev build first"
[ -f "$lib/libtav_clamd.so" ] || die "$lib/libtav_clamd.so is missing: run ./dev build first"
directory=${DEMO_DIRECTORY:-builtin}
case $directory in
  builtin) ;;
  ldap)
    [ -f "$lib/libmds_ldap.so" ] || die "$lib/libmds_ldap.so is missing: run ./dev build first"
    [ -x /usr/sbin/slapd ] || die "slapd is not installed (DEMO_DIRECTORY=ldap ./dev demo installs it)"
    ;;
  *) die "DEMO_DIRECTORY must be builtin or ldap" ;;
esac
command -v lighttpd >/dev/null || die "lighttpd is not installed (./dev demo installs it)"
case $port in '' | *[!0-9]*) die "PORT must be a number" ;; esac
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  die "127.0.0.1:$port is in use (an earlier demo still running?); stop it or set PORT"
fi

# --- the installation root ---------------------------------------------------
# The demo folder is ours alone (demo/ is git-ignored): start from nothing so no
# file of an earlier run (lists, stored uploads, logs) survives. A folder that
# this script did not make is emptied only when it is the default demo/.
if [ -d "$demo" ] && [ -n "$(ls -A "$demo")" ] && [ ! -f "$demo/$marker" ] &&
  [ "$demo" != "$top/demo" ]; then
  die "$demo is not empty and was not made by this script; choose another DEMO_DIR"
fi
# The clamd of an earlier run that was killed before it could stop it.
[ -f "$demo/clamd/clamd.pid" ] && "$top/scripts/clamd.sh" stop "$demo/clamd" >/dev/null
[ -f "$demo/slapd/run/server.pid" ] && "$top/scripts/slapd.sh" stop "$demo/slapd" >/dev/null
rm -rf -- "$demo"
umask 022
mkdir -p "$root"/{etc,home,log,public,lib,domains} \
  "$root"/httpd/{template,conf,html/hashed_store} \
  "$demo"/{www,cgi-bin,log,upload}
: >"$demo/$marker"
# Scratch files of the requests (stored uploads, lists) are private to the
# web server's user.
mkdir -m 0700 "$root/tmp"

cp "$top/conf/site.conf" "$root/etc/site.conf"
cat >>"$root/etc/site.conf" <<'EOF'

# --- Demo overrides (added by scripts/demo.sh) ------------------------------
# The demo server listens on 127.0.0.1 only: let "Attach from a web address"
# fetch from it too, so the demo's own /sample.txt can be attached
# without reaching the internet. Never do this on a real server.
FetchAllowPrivate = 1
# Every new file of a level-0 account (alice and bob) is scanned by the demo's
# clamd: the anti-virus test file is refused with a virus report, and a file
# clamd could not check (stop it, or send a file over its limit) is refused too.
Level0.Privileges = 128
ScanUnavailable = refuse
# The document cabinet for level 0: "Attach from the document cabinet".
Level0.Flags = 2
EOF

# The scan engine: the clamd adapter library, talking to the demo's own clamd.
# The shipped file explains every key; the lines appended here win.
cp "$lib/libtav_clamd.so" "$root/lib/"
cp "$top/conf/avscan.conf" "$root/etc/avscan.conf"
cat >>"$root/etc/avscan.conf" <<EOF

# --- Demo overrides (added by scripts/demo.sh) ------------------------------
EngineLib = $root/lib/libtav_clamd.so
Server = unix:$demo/clamd/clamd.sock
EOF

printf '%s\n' 'alice:0:*' 'bob:0:*' >"$root/etc/passwd"
mkdir -p "$root/home/alice" "$root/home/bob"
printf '%s\n' 'charset = utf-8' 'language = en' >"$root/home/alice/.prefs"
printf '%s\n' 'charset = utf-8' 'language = ja' >"$root/home/bob/.prefs"

# --- the document cabinet ----------------------------------------------------
# alice's own cabinet, with a folder she shares with bob (read only, with what
# lies below it: "Shared by" alice, folder /shared on bob's cabinet page), and
# the site's public cabinet, whose records let everybody read but keep
# salaries.txt to its owner bob (alice is refused it).
cp "$top/conf/dc_type.conf" "$root/etc/dc_type.conf"
dc=$root/home/alice/dc
mkdir -p "$dc/notes" "$dc/shared/drafts" "$root/public/dc/forms"
printf 'Welcome to your document cabinet.\nFiles kept here can be attached to any message.\n' >"$dc/welcome.txt"
printf 'Minutes of the Monday meeting.\n' >"$dc/notes/meeting.txt"
printf 'Project plan: design, build, test, ship.\n' >"$dc/shared/project-plan.txt"
printf 'First draft of the announcement.\n' >"$dc/shared/drafts/announcement.txt"
printf 'welcome.txt\tStart here\n' >"$dc/.finfo"
# A picture for the background and image windows' "From the document cabinet".
mkdir -p "$dc/pictures"
base64 -d >"$dc/pictures/sunset.png" <<'EOF'
iVBORw0KGgoAAAANSUhEUgAAAEAAAAAoCAIAAADBrGu+AAABA0lEQVR42u3PUUfDYRzF8fPC/td7
TSNijIiIiIiIyMpUpjIrU5k1U/lLkiSZ3Zx3sKtd7CY2dp6b3xx7+Fx/nYNqg9awcU5r2GzSGmoX
tIb6Fa1hq0Vr2L6mNezcclUm/WJeagS7bcZbOP0/PYW9DoMtXT8j1rB/z2DiAbGGgy4jietnlCAO
Hxgp6YASxNETIyUdUII47jFS0gEliJM+IyUdUII4HTBS0gEliLMhIyUdUIJovjCYuF6s4fKNwcQD
Yg2tkvGWrtdTuHnnqiycnhpB+4PWcPdJa+h+0Roev2kNvR9aw/MvrWH4R2t4HdEayjGtoahWrOUD
+UA+kA/kA+t9YAoLVB2YSZpb4wAAAABJRU5ErkJggg==
EOF
printf 'sunset.png\tA background picture\n' >"$dc/pictures/.finfo"
printf 'project-plan.txt\tShared with bob\n' >"$dc/shared/.finfo"
WEBMAIL_ROOT=$root "$bin/attachtool" grant alice /shared bob 2 1 >/dev/null
pub=$root/public/dc
printf 'The staff handbook.\n' >"$pub/handbook.txt"
printf 'Public holidays of the year.\n' >"$pub/holidays.txt"
printf 'Salaries: for the owner only.\n' >"$pub/salaries.txt"
printf 'Expense claim form.\n' >"$pub/forms/expenses.txt"
WEBMAIL_ROOT=$root "$bin/attachtool" acl-set @ / alice '' 0744 >/dev/null
WEBMAIL_ROOT=$root "$bin/attachtool" acl-set @ /salaries.txt bob '' 0700 >/dev/null
# --- the directory ----------------------------------------------------------------
# One group, /Staff, with bob in it. By default the built-in group store below
# the root keeps it; with DEMO_DIRECTORY=ldap a private slapd (scripts/slapd.sh,
# its own folder and port, StartTLS with a certificate of its own CA) keeps the
# users and the group, and etc/mds.conf loads the LDAP back end. The demo's
# slapd is stopped with the demo.
if [ "$directory" = ldap ]; then
  python3 "$top/scripts/ldif-directory.py" --user alice:Alice:Example:alice@example.org \
    --user bob:Bob:Example:bob@example.org --group /Staff --member /Staff bob \
    >"$demo/directory.ldif"
  ldap_uri=$("$top/scripts/slapd.sh" start --tls "$demo/slapd" "$demo/directory.ldif") ||
    die "the demo's slapd did not start (log: $demo/slapd/slapd.log)"
  cp "$lib/libmds_ldap.so" "$root/lib/"
  # The bind password: a file only the programs' user may read.
  (umask 077 && cp "$demo/slapd/bindpw" "$root/etc/mds_ldap.pw")
  cat >"$root/etc/mds.conf" <<EOF
# Written by scripts/demo.sh: users and groups come from the demo's slapd.
preloadlib = $root/lib/libmds_ldap.so
backendconf = etc/mds_ldap.conf
EOF
  cat >"$root/etc/mds_ldap.conf" <<EOF
# Written by scripts/demo.sh; conf/mds_ldap.conf explains every key.
uri = $ldap_uri
starttls = yes
tls_cacert = $demo/slapd/ca.pem
binddn = cn=admin,dc=example,dc=org
bindpw_file = etc/mds_ldap.pw
user_base = ou=people,dc=example,dc=org
group_base = ou=groups,dc=example,dc=org
EOF
else
  WEBMAIL_ROOT=$root "$bin/attachtool" dir GroupCreate /Staff >/dev/null
  WEBMAIL_ROOT=$root "$bin/attachtool" dir GroupUserCreate /Staff bob >/dev/null
fi
# The group check the cabinet makes for bob, through whichever back end.
[ "$(WEBMAIL_ROOT=$root "$bin/attachtool" dir MDSAP_IsInGroupTree bob /Staff | head -1)" = \
  "$(printf 'result\t1')" ] || die "the directory does not answer (log: $root/log/)"
# The public folder /forms is for its owner alice and the members of /Staff.
WEBMAIL_ROOT=$root "$bin/attachtool" acl-set @ /forms alice /Staff 0740 >/dev/null

# --- memo notes and a calendar export -------------------------------------------
# alice's memo notes in two folders, written with the store's own writers (on a
# site the suite's memo pages keep them): "Attach a memo note" in her window.
# The calendar program, outside this project, leaves exports in tmp/ and opens
# the window with "cal=1&fname=...&title=..."; the start page's link does so
# for this one.
note() { WEBMAIL_ROOT=$root "$bin/attachtool" note-add "$@" >/dev/null; }
printf 'Agenda: budget, hiring, the new office.\n' | note alice work 'Monday meeting'
printf 'Call the printer about the brochure proofs.\n' | note alice work 'Phone calls'
printf 'Gift ideas: a book, a scarf, concert tickets.\n' | note alice personal 'Birthday'
printf 'Bread, milk, coffee, apples.\n' | note --dated alice personal ''
printf '%s\r\n' 'BEGIN:VCALENDAR' 'VERSION:2.0' 'PRODID:-//attachdesk demo//EN' 'BEGIN:VEVENT' \
  'UID:team-meeting@demo' 'DTSTAMP:20250106T080000Z' 'DTSTART:20250106T090000Z' \
  'DTEND:20250106T100000Z' 'SUMMARY:Team meeting' 'END:VEVENT' 'END:VCALENDAR' \
  >"$root/tmp/cal_alice_team.ics"

# Every shipped language with every template it has.
for lang_dir in "$top"/templates/*/; do
  lang=$(basename "$lang_dir")
  mkdir -p "$root/httpd/template/$lang"
  cp -R "$lang_dir." "$root/httpd/template/$lang/"
done

# The content-type list and magic rules, compiled once here so that no
# request ever compiles them.
cp "$top/conf/mime.types" "$top/conf/magic" "$root/httpd/conf/"
WEBMAIL_ROOT=$root "$bin/attachtool" compile-magic

# The hourly clean-up of abandoned compose windows in tmp/ (deploy/attachdesk-reap.*),
# run once here as a site would from its timer: it tells what it removed.
WEBMAIL_ROOT=$root "$bin/attachtool" reap

# --- the programs ------------------------------------------------------------
# Symbolic links, so a rebuild is served without running this script again.
programs=(attachdesk)
ln -s "$bin/attachdesk" "$demo/cgi-bin/attachdesk"
# The download program's stand-in serves the hashed store (backgrounds and
# inline images) read-only: images and sounds only, typed by their bytes.
ln -s "$bin/filedownload" "$demo/cgi-bin/filedownload"
programs+=(filedownload)
if [ -x "$bin/uploadsend" ]; then
  ln -s "$bin/uploadsend" "$demo/cgi-bin/uploadsend"
  programs+=(uploadsend)
  # A stand-in for the upload control's receiving side, which is not part of
  # this project: it stores the files the compose/send page uploads in tmp/
  # and lists them in the window's upload list for uploadsend to import.
  ln -s "$top/scripts/upload-receiver.py" "$demo/cgi-bin/uploadrecv"
fi

# A stand-in for the compose program, which is not part of this project: a
# fresh compose window ("atid=compose") that attached its files is redirected
# to /cgi-bin/genMail, which here just shows the list it was handed.
cat >"$demo/cgi-bin/genMail" <<'EOF'
#!/bin/sh
# Demo stand-in for the compose program: shows the attachment list of "cpid".
PATH=/usr/bin:/bin
cpid=
IFS='&'
for pair in $QUERY_STRING; do
  case $pair in cpid=*) cpid=${pair#cpid=} ;; esac
done
unset IFS
printf 'Content-Type: text/html; charset=utf-8\r\n\r\n'
printf '<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8><title>New message</title></head><body>\n'
printf '<h1>New message (demo stand-in)</h1>\n'
case $cpid in
  '' | *[!0-9]*) printf '<p>No compose identifier.</p>\n' ;;
  *)
    list="$WEBMAIL_ROOT/tmp/${REMOTE_USER}_${cpid}_Attach.dat"
    printf '<p>Compose identifier %s. Attachments handed over:</p>\n<ul>\n' "$cpid"
    if [ -f "$list" ]; then
      # Lines are "ext_num;ext_text;charset;name;path;size"; a ";" inside the
      # name is written as "&#59;", so the name is everything between the
      # third field and the last two.
      awk -F';' '{ n = $4; for (i = 5; i <= NF - 2; i++) n = n ";" $i;
                   gsub(/</, "\\&lt;", n); gsub(/>/, "\\&gt;", n);
                   printf "<li>%s, %s bytes</li>\n", n, $NF }' "$list"
    fi
    printf '</ul>\n'
    printf '<p><a href="/cgi-bin/attachdesk?atid=%s">Open its attachment window</a></p>\n' "$cpid"
    ;;
esac
printf '<p><a href="/">Back to the demo</a></p>\n</body></html>\n'
EOF
chmod 0755 "$demo/cgi-bin/genMail"

# --- the start page ----------------------------------------------------------
printf 'A small text file to attach from a web address.\n' >"$demo/www/sample.txt"
cat >"$demo/www/index.html" <<'EOF'
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>attachdesk demo</title>
<style>
body{margin:0;padding:24px;background:#f4f6f9;color:#1f2933;font:15px/1.55 system-ui,sans-serif}
main{max-width:44em;margin:0 auto}
section{margin:0 0 16px;padding:12px 18px;background:#fff;border:1px solid #d9e2ec;border-radius:8px}
h1{font-size:1.4em}h2{font-size:1.05em;margin:0 0 8px}
textarea{box-sizing:border-box;width:100%;min-height:8em;font:inherit}
button,a.button{display:inline-block;padding:6px 14px;border:1px solid #9fb3c8;border-radius:6px;background:#f0f4f8;color:#1f2933;font:inherit;text-decoration:none;cursor:pointer}
code{background:#eef2f7;padding:0 4px;border-radius:3px}
</style>
</head>
<body>
<main>
<h1>attachdesk demo</h1>
<p>Sign in as <code>alice</code> / <code>alice</code> (English pages) or <code>bob</code> / <code>bob</code> (Japanese pages).</p>

<section>
<h2>Attachment window</h2>
<p>The window a compose page opens to attach files: uploads, a web address (try <code>http://127.0.0.1:@PORT@/sample.txt</code>), the list and removal. "Attach from the document cabinet" offers alice's own cabinet, the public cabinet, and the folder <code>/shared</code> of alice's cabinet to bob. "Attach a memo note" offers alice's notes.</p>
<p><a class=button href="/cgi-bin/attachdesk?atid=1234" onclick="return openDesk(this.href)">Open the attachment window</a></p>
</section>

<section>
<h2>Calendar export</h2>
<p>What the calendar program does to attach an event: it leaves an export in <code>tmp/</code> and opens the attachment window with its name and title (alice's "Team meeting").</p>
<p><a class=button href="/cgi-bin/attachdesk?atid=1234&amp;cal=1&amp;fname=team&amp;title=Team%20meeting" onclick="return openDesk(this.href)">Attach the team meeting</a></p>
</section>

<section>
<h2>Compose and send</h2>
<p>The compose page of <code>uploadsend</code>: header fields and body, files uploaded with a progress bar through an upload control (a stand-in receiver here) and imported into the message, the list with removal and the room left.</p>
<p><a class=button href="/cgi-bin/uploadsend?atid=compose">Write a message</a> <a class=button href="/cgi-bin/uploadsend?atid=compose&amp;act=pgsend">Send a web page</a></p>
</section>

<section>
<h2>Insert text files into a message</h2>
<p>Insert mode: the text of the files you choose goes into this message body (the window calls <code>insertText</code> of this page).</p>
<textarea id=body aria-label="Message body">Dear team,

</textarea>
<p><a class=button href="/cgi-bin/attachdesk?atid=insert1234" onclick="return openDesk(this.href)">Insert text from files</a></p>
</section>

<section>
<h2>An HTML message with a background and pictures</h2>
<p>Choose a background image and a background sound, and insert pictures into the text; each opens its window (a stand-in for the compose page's). Each window can also take a file from the document cabinet (alice has <code>/pictures/sunset.png</code>).</p>
<div id=html_body contenteditable=true aria-label="HTML message" style="min-height:8em;padding:8px;border:1px solid #9fb3c8;border-radius:6px;background-color:#fff">Hello,<br><br></div>
<p id=sound_line hidden>Background sound: <span id=sound_name></span> <audio id=sound controls></audio></p>
<p><a class=button href="/cgi-bin/attachdesk?atid=bg1234&amp;init=1" onclick="return openDesk(this.href, 'background')">Background image</a>
<a class=button href="/cgi-bin/attachdesk?atid=bs1234&amp;init=1" onclick="return openDesk(this.href, 'backsound')">Background sound</a>
<a class=button href="/cgi-bin/attachdesk?atid=img1234&amp;init=1" onclick="return openDesk(this.href, 'image')">Insert a picture</a></p>
</section>

<section>
<h2>New message with attachments</h2>
<p>A fresh compose window: the files go to a new list and, when all were accepted, the answer hands the list to the compose program (a stand-in here).</p>
<form method=post enctype="multipart/form-data" action="/cgi-bin/attachdesk">
<input type=hidden name=atid value=compose>
<p><input type=file name=newfile> <input type=file name=newfile01></p>
<p><button type=submit>Open a new message with these files</button></p>
</form>
</section>
</main>
<script>
function openDesk(url, name) {
  var w = window.open(url, name || 'attachdesk', 'width=640,height=720');
  return !w;
}
// Called by the background, sound and image windows of the HTML message.
var layouts = ['repeat', 'no-repeat', 'no-repeat'];
function setBackgroundImage(url, name, type) {
  var body = document.getElementById('html_body');
  body.style.backgroundImage = url ? 'url("' + url.replace(/["\\]/g, '\\$&') + '")' : '';
  body.style.backgroundRepeat = layouts[type] || 'repeat';
  body.style.backgroundPosition = 'center';
  body.style.backgroundSize = type === 2 ? 'cover' : '';
  body.dataset.background = name || '';
}
function setBackgroundSound(url, name, type) {
  var sound = document.getElementById('sound');
  document.getElementById('sound_line').hidden = !url;
  document.getElementById('sound_name').textContent = name || '';
  if (url) sound.src = url; else sound.removeAttribute('src');
  sound.loop = type === 1;
}
function insertImage(url, options) {
  var img = document.createElement('img');
  img.src = url;
  img.alt = options && options.alt || '';
  if (options && options.width) img.width = options.width;
  if (options && options.height) img.height = options.height;
  img.style.maxWidth = '100%';
  document.getElementById('html_body').appendChild(img);
}
// Called by the attachment window in insert mode.
function insertText(text) {
  var box = document.getElementById('body');
  var at = box.selectionStart == null ? box.value.length : box.selectionStart;
  box.value = box.value.slice(0, at) + text + box.value.slice(box.selectionEnd == null ? at : box.selectionEnd);
  box.focus();
}
</script>
</body>
</html>
EOF
sed -i "s/@PORT@/$port/g" "$demo/www/index.html"

# --- the web server ----------------------------------------------------------
printf '%s\n' 'alice:alice' 'bob:bob' >"$demo/users"
chmod 0600 "$demo/users"

cat >"$demo/lighttpd.conf" <<EOF
# Written by scripts/demo.sh; rewritten on every run.
server.modules = (
  "mod_access", "mod_alias", "mod_auth", "mod_authn_file",
  "mod_setenv", "mod_cgi", "mod_accesslog",
)
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$demo/www"
server.errorlog = "$demo/log/error.log"
accesslog.filename = "$demo/log/access.log"
server.upload-dirs = ( "$demo/upload" )
index-file.names = ( "index.html" )
mimetype.assign = (
  ".html" => "text/html; charset=utf-8",
  ".txt" => "text/plain; charset=utf-8",
)

# Uploads up to the programs' own RequestMaxKB (100 MiB) plus the form around
# them; larger bodies reach the program, which answers 413 itself.
server.max-request-size = 112640

# The programs trust REMOTE_USER: every request to /cgi-bin/ is authenticated.
auth.backend = "plain"
auth.backend.plain.userfile = "$demo/users"
auth.require = ( "/cgi-bin/" => (
  "method" => "basic", "realm" => "attachdesk demo", "require" => "valid-user",
) )

alias.url = ( "/cgi-bin/" => "$demo/cgi-bin/" )
\$HTTP["url"] =~ "^/cgi-bin/" {
  cgi.assign = ( "" => "" )
  setenv.add-environment = ( "WEBMAIL_ROOT" => "$root" )
}
EOF
lighttpd -tt -f "$demo/lighttpd.conf" >/dev/null || die "lighttpd rejects $demo/lighttpd.conf"

# --- the scanner and the web server ---------------------------------------------
# clamd runs while this script does: CLAMD_OWNER stops it within a second of
# this script's end, however it ends; the trap stops both servers at once.
lighttpd_pid=
stop_servers() {
  trap - EXIT INT TERM HUP
  if [ -n "$lighttpd_pid" ]; then
    kill -TERM "$lighttpd_pid" 2>/dev/null || true
    wait "$lighttpd_pid" 2>/dev/null || true
  fi
  "$top/scripts/clamd.sh" stop "$demo/clamd" >/dev/null 2>&1 || true
  [ "$directory" != ldap ] || "$top/scripts/slapd.sh" stop "$demo/slapd" >/dev/null 2>&1 || true
}
trap stop_servers EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
CLAMD_OWNER=$$ "$top/scripts/clamd.sh" start "$demo/clamd" >/dev/null ||
  die "the demo's clamd did not start (log: $demo/clamd/clamd.log)"

lighttpd -D -f "$demo/lighttpd.conf" </dev/null &
lighttpd_pid=$!

cat <<EOF

  attachdesk demo: http://127.0.0.1:$port/
  attachment window: http://127.0.0.1:$port/cgi-bin/attachdesk?atid=1234
  compose and send: http://127.0.0.1:$port/cgi-bin/uploadsend?atid=compose
  users: alice / alice (English), bob / bob (Japanese)
  programs: $(printf '%s ' "${programs[@]}")(from $bin)
  virus scan: clamd at $demo/clamd (test signatures only: try the EICAR test file)
  directory: $([ "$directory" = ldap ] && echo "LDAP, slapd at $ldap_uri ($demo/slapd)" || echo "the built-in group store")
  root: $root    logs: $demo/log
  Stop with Ctrl-C.

EOF
# A non-interactive shell starts lighttpd with SIGINT ignored: Ctrl-C reaches
# this script, whose trap stops lighttpd.
status=0
wait "$lighttpd_pid" || status=$?
lighttpd_pid=
exit $status
