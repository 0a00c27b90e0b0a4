# Benchmark: the whole-process cost of an attachment list page (sourced by run.sh).
# A GET request for a window holding ten attachments, timed against minimal_cgi,
# a C program that only reads its request and prints a fixed page. The target is
# that the list page costs at most 1.5 times that floor.

list_page_target=1.5
list_page_files=10

attachdesk=$(bench_program attachdesk)
minimal_cgi=$(bench_program minimal_cgi)

root=$(mktemp -d "${TMPDIR:-/tmp}/bench-list-page.XXXXXX")
trap 'rm -rf "$root"' EXIT

mkdir -p "$root/etc" "$root/home/alice" "$root/httpd/template/en" "$root/tmp" "$root/log"
echo "alice:0:*" >"$root/etc/passwd"
: >"$root/etc/site.conf"
echo "charset = utf-8" >"$root/home/alice/.prefs"

template=$top/templates/en/attach.dat
if [ -f "$template" ]; then
  cp "$template" "$root/httpd/template/en/attach.dat"
else
  # The shipped template is not there yet: a small page using the same variables.
  echo "bench: $template is missing; using a stand-in template" >&2
  cat >"$root/httpd/template/en/attach.dat" <<'EOF'
<!DOCTYPE html>
<html><head><title>Attachments</title></head>
<body>
<form method="post" action="/cgi-bin/attachdesk">
<input type="hidden" name="atid" value="$atid">
<p>$count attachments</p>
<select name="choice" size="10" multiple>
$choice
</select>
<p>Total: $size bytes</p>
</form>
</body></html>
EOF
fi

# The window's list: ten stored files of different sizes.
: >"$root/tmp/alice_1234_Attach.dat"
for i in $(seq 0 $((list_page_files - 1))); do
  stored=$root/tmp/alice_1234_A_999_$i
  size=$((1000 * (i + 1)))
  head -c "$size" /dev/zero | tr '\0' 'x' >"$stored"
  echo "0;;utf-8;file$i.txt;$stored;$size" >>"$root/tmp/alice_1234_Attach.dat"
done

bench_cgi_env "$root"
cgi_env=(
  REQUEST_METHOD=GET
  QUERY_STRING=atid=1234
  "${bench_cgi[@]}"
)

# A list page only reads the window's files; if a run changed them, later runs
# would time a different request.
before=$(bench_snapshot "$root/tmp")

bench_check_page "$attachdesk" "${cgi_env[@]}"
bench_check_page "$minimal_cgi" "${cgi_env[@]}"

verdict=0
bench_compare list_page "$list_page_target" attachdesk "$attachdesk" \
  minimal_cgi "$minimal_cgi" -- "${cgi_env[@]}" || verdict=1

if [ "$(bench_snapshot "$root/tmp")" != "$before" ]; then
  echo "bench: the list page changed the window's files; the runs were not alike" >&2
  verdict=1
fi
exit $verdict
