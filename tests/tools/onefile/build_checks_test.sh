#!/usr/bin/env bash
# What `onefile build` says without refusing (warnings, --dry-run, --exclude, the output left out
# of its own input), what `onefile inspect` shows of real and of damaged launchers, and the
# temporaries of interrupted builds. The refusals are in tests/launcher/build_paths_test.sh.
set -euo pipefail
tool=$1 launchers=$2 wine_run=$3 source_dir=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; cat "$work/out" "$work/err" 2>/dev/null; exit 1; }
build() { "$tool" build --level 1 "$@" >"$work/out" 2>"$work/err"; }
files=$source_dir/examples/demo/files
demo_main=$launchers/record_main.dll

# Warnings: the build goes on and names the consequence; none where there is nothing to say.
expect_warning() {  # the text expected on standard error, then the options
  local text=$1; shift
  build "$@" || fail "onefile build $* failed"
  grep -qF -- "$text" "$work/err" || fail "no '$text' from onefile build $*"
}
expect_warning "$launchers/dependent_main.dll imports onefile_dependency.dll, which is neither in the payload nor a system DLL" \
  --main "$launchers/dependent_main.dll" -o "$work/w.exe"
build --main "$launchers/dependent_main.dll" --file "$launchers/onefile_dependency.dll" -o "$work/w.exe" \
  || fail "a build with its dependency"
! grep -q "warning" "$work/err" || fail "a warning although the dependency is packed"
mkdir "$work/dist"
cp -r "$files"/. "$work/dist/"
build --main "$demo_main" --dir "$work/dist" -o "$work/dist/App.exe" || fail "first build into dist"
first=$(stat -c %s "$work/dist/App.exe")
expect_warning "left '$work/dist/App.exe' out of the payload: it is the output" \
  --main "$demo_main" --dir "$work/dist" -o "$work/dist/App.exe"
[ "$(stat -c %s "$work/dist/App.exe")" -eq "$first" ] || fail "the launcher packed its predecessor"

# --dry-run lists the entries, the main module first, and writes nothing; --exclude leaves out.
build --dry-run --main "$demo_main" --dir "$files" --exclude '*.TXT' --exclude 'sub/**' -o "$work/dry.exe" \
  || fail "--dry-run"
[ ! -e "$work/dry.exe" ] && [ -z "$(find "$work" -maxdepth 1 -name '*.tmp')" ] || fail "--dry-run wrote"
head -1 "$work/out" | grep -q " record_main.dll$" || fail "the main module is not listed first"
! grep -qi '\.txt$\|sub\\' "$work/out" || fail "--exclude left files in"
grep -q "nothing written (--dry-run)" "$work/out" || fail "no summary"

# --run matched with case ignored; the launch starts the program.
build --run ARGUMENT_PROBE.EXE --file "$launchers/argument_probe.exe" --console -o "$work/run.exe" \
  || fail "--run with another case"
set +e
ONEFILE_TEST_RECORD='C:\windows\temp\run-case-record' "$wine_run" "$work/run.exe" >"$work/out" 2>&1
status=$?
set -e
[ "$status" -eq 7 ] || fail "the --run launcher ended with $status"  # the probe's own code

# inspect: a real launcher, then damaged ones.
build --main "$demo_main" --dir "$files" -o "$work/shown.exe" --company "Shown Co" \
  --product "Shown" --version 2.3.4.5 --keep || fail "build for inspect"
"$tool" inspect "$work/shown.exe" >"$work/out" 2>"$work/err" || fail "inspect of a sound launcher"
for text in "keep            yes" "company         Shown Co" "file version    2.3.4.5" \
    "CompanyName     Shown Co" "ProductName     Shown" "record_main.dll" "readme.txt" \
    "Payload: intact"; do
  grep -qF -- "$text" "$work/out" || fail "inspect shows no '$text'"
done
python3 - "$work/shown.exe" "$work" <<'PY'
import sys
path, work = sys.argv[1], sys.argv[2]
image = bytearray(open(path, 'rb').read())
block = image.find(b'JIV\x28\xb5\x2f\xfd')
assert block > 0
flipped = bytearray(image); flipped[block + 40] ^= 1
open(work + '/flipped.exe', 'wb').write(flipped)
open(work + '/cut.exe', 'wb').write(image[:block + 40])
settings = image.find(b'onefile\0\x02\0\0\0')
assert settings > 0
for name, at in (('listing', 104), ('settings', 111)):  # the listing size's low and high byte
    damaged = bytearray(image); damaged[settings + at] ^= 0xFF
    open(work + '/' + name + '.exe', 'wb').write(damaged)
PY
expect_inspect() {  # exit code, text, file
  set +e; "$tool" inspect "$3" >"$work/out" 2>"$work/err"; local status=$?; set -e
  [ "$status" -eq "$1" ] && grep -qF -- "$2" "$work/out" "$work/err" \
    || fail "inspect $3: exit $status, expected $1 and '$2'"
}
expect_inspect 1 "does not match its digest" "$work/flipped.exe"
expect_inspect 2 "can't be inspected" "$work/cut.exe"
expect_inspect 2 "its entry listing is damaged" "$work/listing.exe"
expect_inspect 2 "its settings are damaged" "$work/settings.exe"
expect_inspect 2 "no launcher made by onefile build" "$launchers/argument_probe.exe"
expect_inspect 2 "can't be inspected" "$source_dir/README.md"

# Temporaries: a later build removes those of its output whose build no longer runs, only those;
# SIGTERM removes the build's own.
touch "$work/i.exe.onefile-2000000000.tmp" "$work/i.exe.onefile-x1.tmp" \
  "$work/other.exe.onefile-2000000000.tmp"
build --main "$demo_main" -o "$work/i.exe" || fail "build beside stale temporaries"
[ ! -e "$work/i.exe.onefile-2000000000.tmp" ] && [ -e "$work/i.exe.onefile-x1.tmp" ] \
  && [ -e "$work/other.exe.onefile-2000000000.tmp" ] || fail "stale temporaries: $(ls "$work")"
head -c 40000000 /dev/urandom >"$work/noise.bin"
"$tool" build --main "$demo_main" --file "$work/noise.bin" --level 19 --threads 1 \
  -o "$work/slow.exe" >/dev/null 2>&1 &
builder=$!
for _ in $(seq 100); do
  [ -n "$(find "$work" -maxdepth 1 -name 'slow.exe.onefile-*.tmp')" ] && break
  sleep 0.05
done
kill -TERM "$builder"
set +e; wait "$builder"; status=$?; set -e
[ "$status" -eq 143 ] || fail "the build was not ended by SIGTERM while it ran (exit $status)"
[ -z "$(find "$work" -maxdepth 1 -name 'slow.exe*')" ] || fail "SIGTERM left $(ls "$work")"
echo "warnings, --dry-run, --exclude, inspect and interrupted builds behave"
