#!/usr/bin/env bash
# Builds launchers the ways a user would, outside this build tree, and runs them under Wine:
# onefile-build (the tool with this tree's stubs), and find_package(onefile) from an installed
# copy of this build; and the tool's refusals of bad input, each with exit code 2 and nothing
# left at the output path.
set -euo pipefail
build_dir=$1 source_dir=$2 bin_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
wine_run="$build_dir/wine-run"
expect_exit() {  # expected, then the command
  local expected=$1; shift
  set +e; "$@" >"$work/out" 2>&1; local status=$?; set -e
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL: $* exited $status, expected $expected"; cat "$work/out"; exit 1
  fi
}

"$bin_dir/onefile-build" --main "$build_dir/examples/demo_main.dll" \
  --dir "$source_dir/examples/demo/files" -o "$work/Built App.exe" --level 3 --version 1.2.3.4
expect_exit 5 "$wine_run" "$work/Built App.exe" --exit 5
grep -q "readme.txt" "$work/out" || { echo "FAIL: files missing"; cat "$work/out"; exit 1; }

# What the README's first command builds is enough for every launcher: the demo's target brings
# the tool and both stubs (the stock runner too).
if [ -f "$build_dir/build.ninja" ]; then
  inputs=$(ninja -C "$build_dir" -t inputs demo_launcher)
  for needed in "$bin_dir/stubs/launcher.exe" "$bin_dir/stubs/onefile_run.dll"; do
    grep -qxF "$needed" <<<"$inputs" || { echo "FAIL: the demo's target does not build $needed"; exit 1; }
  done
fi

# A stub is never run as it is; run, it ends with the header error.
expect_exit 2 "$wine_run" "$bin_dir/stubs/launcher.exe"
grep -q "Error, couldn't find attached data header." "$work/out" \
  || { echo "FAIL: the stub ran without the header error"; cat "$work/out"; exit 1; }

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir/tests/launcher/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -Donefile_DIR="$work/prefix/share/onefile/cmake" >/dev/null
cmake --build "$work/consumer" >/dev/null
expect_exit 9 "$wine_run" "$work/consumer/ConsumerApp.exe" --exit 9
grep -q "sub\\\\deeper\\\\empty.bin" "$work/out" || { echo "FAIL: files missing"; cat "$work/out"; exit 1; }
# The tool refuses what would fail only at launch, bad input and usage errors, naming them, and
# leaves nothing at the output path or beside it.
tool="$bin_dir/onefile"
launchers="$build_dir/tests/launcher/launchers"
stub="$bin_dir/stubs/launcher.exe"
python3 - "$stub" "$work" <<'PY'
import struct, sys
stub, work = sys.argv[1], sys.argv[2]
image = bytearray(open(stub, 'rb').read())
def checksum(data):  # the PE checksum, the field itself counted as 0
    field = struct.unpack_from('<I', data, 0x3C)[0] + 24 + 64
    words = data + (b'\0' if len(data) % 2 else b'')
    total = 0
    for i in range(0, len(words), 2):
        if i in (field, field + 2): continue
        total += words[i] | (words[i + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    return field, (total & 0xFFFF) + len(data)
open(work + '/cut.exe', 'wb').write(image[:len(image) // 2])
flipped = bytearray(image); flipped[0x1800] ^= 1
open(work + '/flipped.exe', 'wb').write(flipped)
marker = image.find(b'onefile stub\0\0\0\0')
assert marker > 0, 'no stub marker'
other = bytearray(image); other[marker + 16] += 1
field, value = checksum(other); struct.pack_into('<I', other, field, value)
open(work + '/other_version.exe', 'wb').write(other)
PY
printf '<assembly><unclosed></assembly>\n' >"$work/broken.manifest"
mkdir "$work/read_only" && chmod 555 "$work/read_only"
demo_main="$build_dir/examples/demo_main.dll"
expect_refusal() {  # the text expected on standard error, then the options
  local text=$1; shift
  expect_exit 2 "$tool" build "$@"
  grep -qF -- "$text" "$work/out" || { echo "FAIL: no '$text' from onefile build $*"; cat "$work/out"; exit 1; }
  [ ! -e "$work/x.exe" ] || { echo "FAIL: a refused build wrote its output: $*"; exit 1; }
  [ -z "$(find "$work" -maxdepth 2 -name '*.tmp' -o -name '*.block*')" ] \
    || { echo "FAIL: a temporary file stayed: $*"; exit 1; }
}
expect_refusal "is not a Windows DLL" --main "$source_dir/README.md" -o "$work/x.exe"
expect_refusal "is a program, not a DLL" --main "$launchers/argument_probe.exe" -o "$work/x.exe"
expect_refusal "does not export run_code" --main "$launchers/onefile_dependency.dll" -o "$work/x.exe"
expect_refusal "--main needs a value" -o "$work/x.exe" --main
expect_refusal "--run 'app.exe' is not a file of --dir or --file" --run app.exe \
  --dir "$source_dir/examples/demo/files" -o "$work/x.exe"
expect_refusal "a kept directory's --target-spec can't use" --keep --target-spec '{TEMP}\x_{Random}' \
  --main "$demo_main" -o "$work/x.exe"
expect_refusal "--version must be four numbers from 0 to 65535" --version 1.2.3.65536 \
  --main "$demo_main" -o "$work/x.exe"
expect_refusal "can't read the stub '$work/none.exe'" --stub "$work/none.exe" --main "$demo_main" -o "$work/x.exe"
expect_refusal "is damaged" --stub "$work/cut.exe" --main "$demo_main" -o "$work/x.exe"
expect_refusal "is damaged (its checksum doesn't match)" --stub "$work/flipped.exe" --main "$demo_main" -o "$work/x.exe"
expect_refusal "is of format version" --stub "$work/other_version.exe" --main "$demo_main" -o "$work/x.exe"
expect_refusal "is not a launcher stub" --stub "$bin_dir/stubs/onefile_run.dll" --main "$demo_main" -o "$work/x.exe"
expect_refusal "is a finished launcher, not a stub" --stub "$launchers/record_launcher.exe" \
  --main "$demo_main" -o "$work/x.exe"
expect_refusal "is not a launcher stub" --stub "$demo_main" --main "$demo_main" -o "$work/x.exe"
expect_refusal "the icon '$source_dir/README.md' can't be used" --icon "$source_dir/README.md" \
  --main "$demo_main" -o "$work/x.exe"
expect_refusal "is not well-formed XML" --manifest "$work/broken.manifest" --main "$demo_main" -o "$work/x.exe"
expect_refusal "can't write '$work/no/such/x.exe'" --main "$demo_main" -o "$work/no/such/x.exe"
expect_refusal "can't write '$work': it is a directory" --main "$demo_main" -o "$work"
if [ "$(id -u)" -ne 0 ]; then  # root writes anywhere
  expect_refusal "can't write '$work/read_only/x.exe'" --main "$demo_main" -o "$work/read_only/x.exe"
fi
# What no Windows could hold is refused before anything is read: here files (sparse) that add up
# to more than NTFS's largest file.
mkdir "$work/huge"
if truncate -s 15T "$work/huge/f1" 2>/dev/null; then
  for i in $(seq 2 18); do truncate -s 15T "$work/huge/f$i"; done
  expect_refusal "the payload (270.00 TiB) could make a launcher larger than the largest file" \
    --run f1 --dir "$work/huge" -o "$work/x.exe"
fi
rm -rf "$work/huge"
# An older launcher at the output path stays as it is when a build fails.
printf 'older\n' >"$work/older.exe"
expect_exit 2 "$tool" build --icon "$source_dir/README.md" --main "$demo_main" -o "$work/older.exe"
[ "$(cat "$work/older.exe")" = older ] || { echo "FAIL: a failed build changed the older output"; exit 1; }

# A kept launcher: its files stay in the user's local application data, named after the company,
# product, version and payload; the next launch runs from them, writing nothing.
"$bin_dir/onefile-build" --main "$build_dir/examples/demo_main.dll" \
  --dir "$source_dir/examples/demo/files" -o "$work/kept.exe" --level 3 --keep-verify \
  --icon "$source_dir/tests/launcher/modules/test.ico" \
  --company "Kept Co" --product "Kept App" --version 1.2.3.4 >/dev/null
mkdir "$work/local"
run_kept() { "$wine_run" cmd /c "set LOCALAPPDATA=Z:${work//\//\\}\\local&& Z:${work//\//\\}\\kept.exe --exit 6"; }
expect_exit 6 run_kept
kept=("$work/local/Kept Co/Kept App/"1.2.3.4-*)
# (Under Wine every launch is elevated, and keeps a directory of its own.)
[[ "${kept[0]}" =~ /1\.2\.3\.4-[0-9a-f]{16}(-elevated)?$ ]] && [ -f "${kept[0]}/onefile.kept" ] \
  || { echo "FAIL: no kept directory: ${kept[*]}"; exit 1; }
touch "$work/before_second"
expect_exit 6 run_kept
[ -z "$(find "$work/local" -newer "$work/before_second")" ] \
  || { echo "FAIL: the second launch wrote"; find "$work/local" -newer "$work/before_second"; exit 1; }

# A program as the payload, signed with a throw-away certificate: the signature verifies, the
# launcher runs, and one changed payload byte breaks both the signature and the launch.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=onefile test signer" >/dev/null 2>&1
echo "test-password" >"$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/signer.p12" \
  -passout "file:$work/password" >/dev/null 2>&1
"$bin_dir/onefile-build" --run argument_probe.exe --file "$launchers/argument_probe.exe" --console \
  --sign "$work/signer.p12" --sign-password-file "$work/password" -o "$work/Signed.exe" --level 3 \
  --uac-admin >/dev/null 2>"$work/warnings"
# Options that can't work together, and a signature that expires with its certificate, are named.
grep -q "warning: --uac-admin with --console" "$work/warnings" \
  && grep -q "warning: --sign without --timestamp" "$work/warnings" \
  || { echo "FAIL: no warnings"; cat "$work/warnings"; exit 1; }
grep -qa 'level="requireAdministrator"' "$work/Signed.exe" || { echo "FAIL: no elevation in the manifest"; exit 1; }
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/Signed.exe" >"$work/out" 2>&1 \
  || { echo "FAIL: the signed launcher does not verify"; cat "$work/out"; exit 1; }
expect_exit 7 env ONEFILE_TEST_RECORD='C:\windows\temp\signed-record' "$wine_run" "$work/Signed.exe"
python3 - "$work/Signed.exe" <<'PY'
import sys
image = bytearray(open(sys.argv[1], 'rb').read())
block = image.find(b'JIV\x28\xb5\x2f\xfd')
assert block > 0, 'no payload block'
image[block + 1000] ^= 0x20
open(sys.argv[1], 'wb').write(image)
PY
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/Signed.exe" >"$work/out" 2>&1; then
  echo "FAIL: a changed payload byte still verifies"; exit 1
fi
expect_exit 2 "$wine_run" "$work/Signed.exe"
grep -q "Error, couldn't decode attached data." "$work/out" || { echo "FAIL: no decode error"; cat "$work/out"; exit 1; }

# A payload after the image (the tool's threshold lowered to 0): the settings say where, the
# signature covers it, the launcher reads it from its file, and a changed byte there breaks both.
head -c 3000000 /dev/urandom >"$work/noise.bin"  # more than one 1 MiB read
ONEFILE_TEST_PAYLOAD_OUTSIDE_ABOVE=0 "$bin_dir/onefile-build" --run argument_probe.exe \
  --file "$launchers/argument_probe.exe" --file "$work/noise.bin" --console --level 1 \
  --target-spec '{TEMP}\onefile-outside' \
  --sign "$work/signer.p12" --sign-password-file "$work/password" -o "$work/Outside.exe" >/dev/null 2>&1
python3 - "$work/Outside.exe" <<'PY'
import struct, sys
image = open(sys.argv[1], 'rb').read()
nt = struct.unpack_from('<I', image, 0x3C)[0]
count = struct.unpack_from('<H', image, nt + 6)[0]
table = nt + 24 + struct.unpack_from('<H', image, nt + 20)[0]
sections = [struct.unpack_from('<8s8xII', image, table + 40 * i) for i in range(count)]
name, raw_size, raw_offset = [s for s in sections if s[0].startswith(b'.onefile')][0]
flags, = struct.unpack_from('<I', image, raw_offset + 20)
offset, size = struct.unpack_from('<QQ', image, raw_offset + 112)
end = max(o + r for _, r, o in sections)
assert flags & 2 and offset == end and image[offset:offset + 3] == b'JIV', (flags, offset, end)
assert raw_size < 64 * 1024 and size > 3000000, (raw_size, size)
PY
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/Outside.exe" >"$work/out" 2>&1 \
  || { echo "FAIL: the launcher with its payload after the image does not verify"; cat "$work/out"; exit 1; }
expect_exit 7 env ONEFILE_TEST_RECORD='C:\windows\temp\outside-record' "$wine_run" "$work/Outside.exe"
# A read that fails after the directory was made: the message, and no directory left.
expect_exit 2 env ONEFILE_TEST_PAYLOAD_READ_FAILS_AT=2000000 "$wine_run" "$work/Outside.exe"
grep -q "Error, couldn't read attached data. (\[Error 1117\]" "$work/out" \
  || { echo "FAIL: no read error"; cat "$work/out"; exit 1; }
[ -z "$(find "$build_dir/wineprefix/drive_c" -maxdepth 5 -name 'onefile-outside*')" ] \
  || { echo "FAIL: a failed read left its directory"; exit 1; }
python3 - "$work/Outside.exe" <<'PY'
import sys
image = bytearray(open(sys.argv[1], 'rb').read())
block = image.rfind(b'JIV\x28\xb5\x2f\xfd')
image[block + 2500000] ^= 0x20
open(sys.argv[1], 'wb').write(image)
PY
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/Outside.exe" >"$work/out" 2>&1; then
  echo "FAIL: a changed byte after the image still verifies"; exit 1
fi
expect_exit 2 "$wine_run" "$work/Outside.exe"
grep -q "Error, couldn't decode attached data." "$work/out" || { echo "FAIL: no decode error"; cat "$work/out"; exit 1; }
echo "both ways build working launchers; the tool refuses bad input, runs programs and signs"
