#!/bin/sh
# The vexal program on small files: every command once, and bad input giving
# one line on standard error, a non-zero exit and an untouched database.
set -u
vexal="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

printf '1,0,0\n0,1,0\n0,0,1\n0.9,0.1,0\n' > "$dir/v.csv"
"$vexal" --help > /dev/null || fail "--help"
"$vexal" help search | grep -q -- '--filter' || fail "help search"
"$vexal" import "$dir/db" items "$dir/v.csv" --meta colour=red > "$dir/out" 2>&1 || fail "import: $(cat "$dir/out")"
grep -q "imported 4 vectors" "$dir/out" || fail "import output"
"$vexal" search "$dir/db" items --vector 1,0,0 -k 2 > "$dir/out" 2>&1 || fail "search: $(cat "$dir/out")"
head -1 "$dir/out" | grep -q "id 1 " || fail "nearest is id 1: $(cat "$dir/out")"
sed -n 2p "$dir/out" | grep -q "id 4 " || fail "second is id 4: $(cat "$dir/out")"
"$vexal" search "$dir/db" items --vector 1,0,0 --filter colour=RED -k 1 | grep -q "id 1 " || fail "filter match"
"$vexal" search "$dir/db" items --vector 1,0,0 --filter colour=blue | grep -q "no hits" || fail "filter miss"
"$vexal" build-index "$dir/db" items > /dev/null || fail "build-index"
"$vexal" info "$dir/db" | grep -q "items: 4 vectors, 3 dims" || fail "info"
cp -r "$dir/db" "$dir/before"

# Bad input: one line on stderr, non-zero exit, nothing changed.
check_bad() {
    if "$@" > "$dir/out" 2> "$dir/err"; then fail "accepted: $*"; fi
    [ "$(wc -l < "$dir/err")" -eq 1 ] || fail "not one line for: $* -> $(cat "$dir/err")"
    diff -r "$dir/db" "$dir/before" > /dev/null || fail "database changed by: $*"
}
printf '1,2\n' > "$dir/short.csv"
printf '1,2,zz\n' > "$dir/bad.csv"
check_bad "$vexal" import "$dir/db" items "$dir/missing.csv"
check_bad "$vexal" import "$dir/db" items "$dir/short.csv"
check_bad "$vexal" import "$dir/db" items "$dir/bad.csv"
check_bad "$vexal" search "$dir/db" nothing --vector 1,0,0
check_bad "$vexal" search "$dir/db" items --vector 1,0
check_bad "$vexal" search "$dir/db" items --vector 1,x,0
check_bad "$vexal" search "$dir/nodb" items --vector 1,0,0
check_bad "$vexal" frobnicate
echo "cli ok"
