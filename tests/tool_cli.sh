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
# A NaN in a binary file: 1, 0, NaN as .fvecs.
printf '\003\000\000\000\000\000\200\077\000\000\000\000\000\000\300\177' > "$dir/nan.fvecs"
check_bad "$vexal" import "$dir/db" items "$dir/nan.fvecs"
# Another process holding the database: refused in one line, nothing changed.
flock -o -x "$dir/db/.vxlock" sleep 3 &
holder=$!
sleep 0.5
check_bad "$vexal" import "$dir/db" items "$dir/v.csv"
grep -q "in use" "$dir/err" || fail "busy database not named: $(cat "$dir/err")"
wait "$holder"
check_bad "$vexal" search "$dir/db" nothing --vector 1,0,0
check_bad "$vexal" search "$dir/db" items --vector 1,0
check_bad "$vexal" search "$dir/db" items --vector 1,x,0
check_bad "$vexal" search "$dir/nodb" items --vector 1,0,0
check_bad "$vexal" frobnicate

# The words a new user meets.
expect_err() {  # expect_err TEXT COMMAND...: refused, database untouched, TEXT said
    text="$1"; shift
    check_bad "$@"
    grep -q -- "$text" "$dir/err" || fail "'$text' not in: $(cat "$dir/err")"
}
"$vexal" --version | grep -q "^vexal [0-9.]* (library: " || fail "--version"
"$vexal" info "$dir/db" | grep -q "items: 4 vectors, 3 dims, metric l2, index hnsw (active)" || fail "info line"
expect_err "-k needs a value" "$vexal" search "$dir/db" items --vector 1,0,0 -k
expect_err "from 1 to 100000" "$vexal" search "$dir/db" items --vector 1,0,0 -k 100001
expect_err "is a directory" "$vexal" import "$dir/db" items "$dir"
expect_err "out of the float range" "$vexal" search "$dir/db" items --vector 1e39,0,0
expect_err "has metric l2, not cosine" "$vexal" import "$dir/db" items "$dir/v.csv" --metric cosine
expect_err "has index hnsw, not ivf" "$vexal" import "$dir/db" items "$dir/v.csv" --index ivf
expect_err "no collection 'nosuch'" "$vexal" build-index "$dir/db" nosuch
expect_err "no collection 'nosuch'" "$vexal" drop "$dir/db" nosuch
expect_err "apply when the collection is created" "$vexal" import "$dir/db" items "$dir/v.csv" --M 8
expect_err "use --ef" "$vexal" search "$dir/db" items --vector 1,0,0 --nprobe 2
expect_err "--nlist shapes an inverted-file index" "$vexal" import "$dir/db" fresh "$dir/v.csv" --nlist 2
expect_err "--M must be a whole number" "$vexal" import "$dir/db" fresh "$dir/v.csv" --M 1
expect_err "unknown file type" "$vexal" export "$dir/db" items "$dir/out.txt"
check_bad "$vexal" import "$dir/newdb" "bad/name" "$dir/v.csv"
[ ! -e "$dir/newdb" ] || fail "a refused import left a database directory"

# Index parameters at creation and search widths per search.
"$vexal" import "$dir/db" lists "$dir/v.csv" --index ivf --nlist 2 > /dev/null || fail "import --nlist"
"$vexal" build-index "$dir/db" lists > /dev/null || fail "build-index lists"
"$vexal" search "$dir/db" lists --vector 1,0,0 -k 1 --nprobe 2 | grep -q "id 1 " || fail "search --nprobe"
"$vexal" import "$dir/db" graph "$dir/v.csv" --M 4 --ef-construction 20 > /dev/null || fail "import --M"
"$vexal" build-index "$dir/db" graph > /dev/null || fail "build-index graph"
"$vexal" search "$dir/db" graph --vector 1,0,0 -k 1 --ef 50 | grep -q "id 1 " || fail "search --ef"
rm -rf "$dir/before" && cp -r "$dir/db" "$dir/before"
expect_err "use --nprobe" "$vexal" search "$dir/db" lists --vector 1,0,0 --ef 50

# Repeated --meta and --filter, an upper-case extension, one vector.
printf '0,0,1\n' > "$dir/ONE.CSV"
"$vexal" import "$dir/db" more "$dir/ONE.CSV" --meta colour=red --meta size=3 > "$dir/out" || fail "upper-case .CSV"
grep -q "imported 1 vector of" "$dir/out" || fail "one vector: $(cat "$dir/out")"
"$vexal" import "$dir/db" more "$dir/v.csv" --meta colour=red --meta size=4 > /dev/null || fail "second import"
"$vexal" search "$dir/db" more --vector 0,0,1 --filter colour=red --filter size=3 -k 5 > "$dir/out"
[ "$(grep -c ' id ' "$dir/out")" -eq 1 ] && grep -q "id 1 " "$dir/out" || fail "filters AND: $(cat "$dir/out")"

# export and import keep ids and metadata (gaps included), both file kinds.
printf '1,1,1\n2,2,2\n3,3,3\n' > "$dir/gaps.csv"
printf '{"id": 2, "meta": {"w": "x\\"y", "f": 0.5, "b": true}}\n{"id": 9, "meta": {}}\n{"id": 5, "meta": {"n": -7}}\n' \
    > "$dir/gaps.csv.jsonl"
"$vexal" import "$dir/db2" g "$dir/gaps.csv" > /dev/null || fail "import with ids"
"$vexal" export "$dir/db2" g "$dir/e.npy" > /dev/null || fail "export npy"
grep -q '^{"id": 5, "meta": {"n": -7}}$' "$dir/e.npy.jsonl" || fail "ids kept: $(cat "$dir/e.npy.jsonl")"
"$vexal" search "$dir/db2" g --vector 3,3,3 -k 1 | grep -q "id 5 " || fail "vector kept with its id"
"$vexal" import "$dir/db3" g "$dir/e.npy" --index ivf > /dev/null || fail "import the export"
"$vexal" export "$dir/db3" g "$dir/e2.fvecs" > /dev/null || fail "export fvecs"
cmp -s "$dir/e.npy.jsonl" "$dir/e2.fvecs.jsonl" || fail "round trip changed the records"
"$vexal" drop "$dir/db3" g > /dev/null && "$vexal" info "$dir/db3" | grep -q "collections: 0" || fail "drop"
[ ! -e "$dir/db3/g.vxcol" ] || fail "drop left the collection file"
echo "cli ok"
