# Benchmark: the whole-process cost of importing 50 uploads (sourced by
# run.sh). uploadsend's "axcompose" request reads the window's upload list of
# 50 stored uploads, lists them in the attachment list and renders the shipped
# compose/send page; it is timed beside attachdesk answering a list page of ten
# attachments in the same hyperfine calls. Target: the import costs at most
# twice the list page.
#
# An import consumes its upload list: before every run of either program (not
# timed, hyperfine --prepare) the list is put back and the imported window's
# attachment list removed.

upload_import_target=2
upload_import_files=50

uploadsend=$(bench_program uploadsend)
attachdesk=$(bench_program attachdesk)

root=$(mktemp -d "${TMPDIR:-/tmp}/bench-upload-import.XXXXXX")
trap 'rm -rf "$root"' EXIT

mkdir -p "$root/etc" "$root/home/alice" "$root/httpd/template/en" "$root/httpd/conf" "$root/log" \
  "$root/saved"
mkdir -m 0700 "$root/tmp"
echo "alice:0:*" >"$root/etc/passwd"
echo "AttachCountLimit = 100" >"$root/etc/site.conf"
echo "charset = utf-8" >"$root/home/alice/.prefs"
cp "$top/templates/en/uploadsend.dat" "$top/templates/en/attach.dat" "$root/httpd/template/en/"
cp "$top/conf/mime.types" "$top/conf/magic" "$root/httpd/conf/"

# The receiver's uploads and their list for window 77, kept aside.
for i in $(seq 0 $((upload_import_files - 1))); do
  stored=$root/tmp/alice_77_U_1_$i
  head -c $((1000 + 37 * i)) /dev/zero | tr '\0' 'u' >"$stored"
  echo "upload $i.pdf;$stored;$((1000 + 37 * i))" >>"$root/saved/alice_77_Upload.dat"
done
# The list page's window: ten stored files. Both programs are timed with one
# environment, so attachdesk is asked with the same "atid": to it
# "axcompose77" is an ordinary compose identifier, whose list is this one.
for i in $(seq 0 9); do
  stored=$root/tmp/alice_axcompose77_A_999_$i
  head -c $((1000 * (i + 1))) /dev/zero | tr '\0' 'x' >"$stored"
  echo "0;;utf-8;file$i.txt;$stored;$((1000 * (i + 1)))" >>"$root/tmp/alice_axcompose77_Attach.dat"
done
cat >"$root/prepare.sh" <<PREP
cp "$root/saved/alice_77_Upload.dat" "$root/tmp/alice_77_Upload.dat"
rm -f "$root/tmp/alice_77_Attach.dat"
PREP
prepare() { sh "$root/prepare.sh"; }

bench_cgi_env "$root"
cgi_env=(REQUEST_METHOD=GET QUERY_STRING=atid=axcompose77 "${bench_cgi[@]}")

# One import must list all 50 uploads and consume the list.
prepare
bench_check_page "$uploadsend" "${cgi_env[@]}"
[ "$(wc -l <"$root/tmp/alice_77_Attach.dat")" -eq "$upload_import_files" ] ||
  bench_fail "the import did not list the $upload_import_files uploads"
[ ! -e "$root/tmp/alice_77_Upload.dat" ] || bench_fail "the import left its upload list"
grep -q 'upload 49.pdf' "$root/tmp/alice_77_Attach.dat" || bench_fail "the import lost an upload"
bench_check_page "$attachdesk" "${cgi_env[@]}"

verdict=0
BENCH_PREPARE="sh $root/prepare.sh" bench_compare upload_import "$upload_import_target" \
  uploadsend-import "$uploadsend" attachdesk-list "$attachdesk" -- "${cgi_env[@]}" || verdict=1
exit $verdict
