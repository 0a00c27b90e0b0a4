# Benchmark: the whole-process cost of the compose/send page (sourced by
# run.sh). A GET request for a compose window holding ten attachments, answered
# by uploadsend with the shipped page, timed against minimal_cgi, a C program
# that only reads its request and prints a fixed page. Target: at most 1.5
# times that floor.

compose_page_target=1.5

uploadsend=$(bench_program uploadsend)
minimal_cgi=$(bench_program minimal_cgi)

root=$(mktemp -d "${TMPDIR:-/tmp}/bench-compose-page.XXXXXX")
trap 'rm -rf "$root"' EXIT

mkdir -p "$root/etc" "$root/home/alice" "$root/httpd/template/en" "$root/log"
mkdir -m 0700 "$root/tmp"
echo "alice:0:*" >"$root/etc/passwd"
: >"$root/etc/site.conf"
echo "charset = utf-8" >"$root/home/alice/.prefs"
cp "$top/templates/en/uploadsend.dat" "$root/httpd/template/en/"

for i in $(seq 0 9); do
  stored=$root/tmp/alice_1234_A_999_$i
  head -c $((1000 * (i + 1))) /dev/zero | tr '\0' 'x' >"$stored"
  echo "0;;utf-8;file$i.txt;$stored;$((1000 * (i + 1)))" >>"$root/tmp/alice_1234_Attach.dat"
done

bench_cgi_env "$root"
cgi_env=(
  REQUEST_METHOD=GET
  "QUERY_STRING=atid=compose1234&to=bob%40example.com&subject=Figures&content=Dear+Bob%2C"
  "${bench_cgi[@]}"
)

# The page only reads the window's files; if a run changed them, later runs
# would time a different request.
before=$(bench_snapshot "$root/tmp")

bench_check_page "$uploadsend" "${cgi_env[@]}"
bench_check_page "$minimal_cgi" "${cgi_env[@]}"

verdict=0
bench_compare compose_page "$compose_page_target" uploadsend "$uploadsend" \
  minimal_cgi "$minimal_cgi" -- "${cgi_env[@]}" || verdict=1

if [ "$(bench_snapshot "$root/tmp")" != "$before" ]; then
  echo "bench: the compose page changed the window's files; the runs were not alike" >&2
  verdict=1
fi
exit $verdict
