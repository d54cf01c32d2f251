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
# Launchers without names take the tool's defaults from the consumer's own target and project.
python3 - "$work/consumer" <<'PY' || exit 1
import sys
def texts(path):  # the version record's strings, read by key (UTF-16, 32-bit aligned values)
    image = open(path, 'rb').read()
    found = {}
    for key in ('CompanyName', 'ProductName', 'FileVersion', 'ProductVersion', 'FileDescription'):
        at = image.find((key + '\0').encode('utf-16-le'))
        if at < 0: continue
        at += 2 * len(key) + 2
        at += (4 - at % 4) % 4
        end = at
        while image[end:end + 2] != b'\0\0': end += 2
        found[key] = image[at:end].decode('utf-16-le')
    return found, image
for name in ('first_unnamed', 'second_unnamed'):
    found, image = texts(f'{sys.argv[1]}/{name}.exe')
    expected = {'CompanyName': name, 'ProductName': name, 'FileVersion': '4.5.6.0',
                'ProductVersion': '4.5.6.0', 'FileDescription': name}
    if found != expected or 'Marrowvale'.encode('utf-16-le') in image:
        sys.exit(f'FAIL: {name}.exe carries {found}, expected {expected}')
PY
# SIGN_COMMAND: the consumer's DLL, then the launcher.
[ "$(xargs -n1 basename <"$work/consumer/signed.log" | tr '\n' ' ')" = "consumer_main.dll second_unnamed.exe " ] \
  || { echo "FAIL: SIGN_COMMAND signed: $(cat "$work/consumer/signed.log")"; exit 1; }
# The tool refuses what would fail only at launch, bad input and usage errors, naming them, and
# leaves nothing at the output path or beside it.
tool="$bin_dir/onefile"
launchers="$build_dir/tests/launcher/launchers"
stub="$bin_dir/stubs/launcher.exe"
mkdir "$work/unprotected" "$work/weak_runner"
python3 - "$stub" "$work" "$bin_dir/stubs/onefile_run.dll" <<'PY'
import struct, sys
stub, work, runner = sys.argv[1], sys.argv[2], sys.argv[3]
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
def without(data, flags):  # DllCharacteristics without these flags, the checksum made to match
    data = bytearray(data)
    at = struct.unpack_from('<I', data, 0x3C)[0] + 24 + 70
    struct.pack_into('<H', data, at, struct.unpack_from('<H', data, at)[0] & ~flags)
    field, value = checksum(data); struct.pack_into('<I', data, field, value)
    return data
open(work + '/no_tsaware.exe', 'wb').write(without(image, 0x8000))
open(work + '/unprotected/launcher.exe', 'wb').write(without(image, 0x8160))
open(work + '/weak_runner/launcher.exe', 'wb').write(image)
open(work + '/weak_runner/onefile_run.dll', 'wb').write(without(open(runner, 'rb').read(), 0x100))
# A 32-bit program without a manifest, named like an installer: headers and one empty section.
pe32 = bytearray(0x400)
pe32[0:2] = b'MZ'; struct.pack_into('<I', pe32, 0x3C, 0x40)
struct.pack_into('<4sHHIIIHH', pe32, 0x40, b'PE\0\0', 0x14C, 1, 0, 0, 0, 0xE0, 0x102)
struct.pack_into('<HBBIII', pe32, 0x58, 0x10B, 2, 0, 0x200, 0, 0)
struct.pack_into('<IIIIIIHHHHHHIIII', pe32, 0x68, 0x1000, 0x1000, 0x2000, 0x400000, 0x1000, 0x200,
                 5, 1, 0, 0, 5, 1, 0, 0x2000, 0x200, 0)
struct.pack_into('<HH', pe32, 0x9C, 2, 0x8540)
struct.pack_into('<I', pe32, 0xB4, 16)
struct.pack_into('<8sIIIIIIHHI', pe32, 0x138, b'.text', 0x200, 0x1000, 0x200, 0x200, 0, 0, 0, 0,
                 0x60000020)
open(work + '/Setup.exe', 'wb').write(pe32)
PY
printf '<assembly><unclosed></assembly>\n' >"$work/broken.manifest"
# Programs whose manifests ask for elevation, made as a user would: launchers of this tool.
elevation_manifest() {
  printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"><trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges><requestedExecutionLevel level="%s" uiAccess="false"/></requestedPrivileges></security></trustInfo></assembly>\n' "$1"
}
elevation_manifest highestAvailable >"$work/highest.manifest"
elevation_manifest asInvoker >"$work/invoker.manifest"
"$tool" build --main "$build_dir/examples/demo_main.dll" --uac-admin -o "$work/admin.exe" >/dev/null
"$tool" build --main "$build_dir/examples/demo_main.dll" --manifest "$work/highest.manifest" \
  -o "$work/highest.exe" >/dev/null
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
expect_refusal "--version must be two to four numbers from 0 to 65535" --version 1.2.3.65536 \
  --main "$demo_main" -o "$work/x.exe"
expect_refusal "can't read the stub '$work/none.exe'" --stub "$work/none.exe" --main "$demo_main" -o "$work/x.exe"
expect_refusal "is damaged" --stub "$work/cut.exe" --main "$demo_main" -o "$work/x.exe"
expect_refusal "is damaged (its checksum doesn't match)" --stub "$work/flipped.exe" --main "$demo_main" -o "$work/x.exe"
expect_refusal "is of format version" --stub "$work/other_version.exe" --main "$demo_main" -o "$work/x.exe"
expect_refusal "is not a launcher stub" --stub "$bin_dir/stubs/onefile_run.dll" --main "$demo_main" -o "$work/x.exe"
expect_refusal "is a finished launcher, not a stub" --stub "$launchers/record_launcher.exe" \
  --main "$demo_main" -o "$work/x.exe"
expect_refusal "is not a launcher stub" --stub "$demo_main" --main "$demo_main" -o "$work/x.exe"
expect_refusal "the stub '$work/no_tsaware.exe' was linked without TERMINAL_SERVER_AWARE (" \
  --stub "$work/no_tsaware.exe" --main "$demo_main" -o "$work/x.exe"
expect_refusal "was linked without DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT, TERMINAL_SERVER_AWARE (" \
  --stub "$work/unprotected/launcher.exe" --main "$demo_main" -o "$work/x.exe"
expect_refusal "the stub '$work/weak_runner/onefile_run.dll' was linked without NX_COMPAT (" \
  --stub "$work/weak_runner/launcher.exe" --run admin.exe --file "$work/admin.exe" --uac-admin \
  -o "$work/x.exe"
expect_refusal "--run 'admin.exe' asks to run as administrator (its manifest's requestedExecutionLevel is requireAdministrator): a launcher that isn't elevated can't start it (ERROR_ELEVATION_REQUIRED); build with --uac-admin" \
  --run admin.exe --file "$work/admin.exe" -o "$work/x.exe"
expect_refusal "--run 'bin\\highest.exe' asks to run with its user's highest rights (its manifest's requestedExecutionLevel is highestAvailable)" \
  --run 'bin\highest.exe' --file "$work/highest.exe=bin/highest.exe" -o "$work/x.exe"
expect_refusal "ask for requireAdministrator in the manifest given with --manifest" \
  --run admin.exe --file "$work/admin.exe" --manifest "$work/highest.manifest" -o "$work/x.exe"
# With the launcher elevated the programs are packed; a 32-bit installer without a requested
# level is packed with a warning that names the remedy.
for program in admin highest; do
  expect_exit 0 "$tool" build --run $program.exe --file "$work/$program.exe" --uac-admin -o "$work/run_$program.exe"
done
expect_exit 0 "$tool" build --run Setup.exe --file "$work/Setup.exe" -o "$work/run_setup.exe"
grep -qF "warning: --run 'Setup.exe' is a 32-bit program without a requestedExecutionLevel, named like an installer: where Windows' installer detection is on, a launcher that isn't elevated can't start it (ERROR_ELEVATION_REQUIRED); build with --uac-admin" "$work/out" \
  || { echo "FAIL: no warning about an installer"; cat "$work/out"; exit 1; }
expect_exit 0 "$tool" build --run Setup.exe --file "$work/Setup.exe" --uac-admin -o "$work/run_setup.exe"
! grep -q "warning" "$work/out" || { echo "FAIL: a warning for an elevated launcher"; cat "$work/out"; exit 1; }
rm "$work"/run_*.exe
expect_refusal "the icon '$source_dir/README.md' can't be used" --icon "$source_dir/README.md" \
  --main "$demo_main" -o "$work/x.exe"
expect_refusal "' can't be used: not well-formed XML" --manifest "$work/broken.manifest" --main "$demo_main" -o "$work/x.exe"
# What would fail at every launch: a --run that is no program, a target spec the launcher can't
# expand or that names no place, a product name Windows does not allow, a manifest that is none.
cp "$launchers/argument_probe.exe" "$work/arm64.exe"
printf '\x64\xaa' | dd of="$work/arm64.exe" bs=1 conv=notrunc status=none \
  seek=$(( $(od -An -tu4 -j60 -N4 "$work/arm64.exe") + 4 ))
expect_refusal "--run 'onefile_dependency.dll' is a DLL, not a program" --run onefile_dependency.dll \
  --file "$launchers/onefile_dependency.dll" -o "$work/x.exe"
expect_refusal "--run 'arm64.exe' is not a program for x86-64 or x86" --run arm64.exe \
  --file "$work/arm64.exe" -o "$work/x.exe"
expect_refusal "--run 'readme.txt' is not a Windows program" --run readme.txt \
  --file "$source_dir/README.md=readme.txt" -o "$work/x.exe"
expect_refusal "names the variable {TMEP}, which the launcher does not know" \
  --target-spec '{TMEP}\x_{RANDOM}' --main "$demo_main" -o "$work/x.exe"
expect_refusal "--target-spec 'relative\dir' is relative" --target-spec 'relative\dir' \
  --main "$demo_main" -o "$work/x.exe"
expect_refusal "--product 'My:App?' (also the company's default) can't be part of the target directory" \
  --keep --product 'My:App?' --main "$demo_main" -o "$work/x.exe"
expect_refusal "--company 'Co.' can't be part of the target directory" --keep --company 'Co.' \
  --main "$demo_main" -o "$work/x.exe"
expect_refusal "the name \"CON\"" --target-spec '{TEMP}\{PRODUCT}' --product CON \
  --main "$demo_main" -o "$work/x.exe"
printf '<foo/>\n' >"$work/foo.manifest"
: >"$work/empty.manifest"
expect_refusal "its root element <foo> is not <assembly> in the namespace urn:schemas-microsoft-com:asm.v1" \
  --manifest "$work/foo.manifest" --main "$demo_main" -o "$work/x.exe"
expect_refusal "can't be used: not well-formed XML: line 1, column 1: no root element" \
  --manifest "$work/empty.manifest" --main "$demo_main" -o "$work/x.exe"
grep -c "not well-formed XML" "$work/out" | grep -qx 1 || { echo "FAIL: said twice"; cat "$work/out"; exit 1; }
expect_refusal "--manifest can't be combined with --utf8, --uac-admin, --dpi-aware" --utf8 --uac-admin \
  --dpi-aware system --manifest "$work/foo.manifest" --main "$demo_main" -o "$work/x.exe"
# The output that is an input is refused rather than overwritten (the same file, however named).
mkdir -p "$work/app/sub"
cp "$launchers/argument_probe.exe" "$work/app/probe.exe"
expect_exit 2 "$tool" build --run probe.exe --dir "$work/app" -o "$work/app/sub/../probe.exe"
grep -qF "is the input" "$work/out" && cmp -s "$work/app/probe.exe" "$launchers/argument_probe.exe" \
  || { echo "FAIL: an input was overwritten"; cat "$work/out"; exit 1; }
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
    --run argument_probe.exe --file "$launchers/argument_probe.exe" --dir "$work/huge" -o "$work/x.exe"
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

# Signing that can't be done: one line naming the certificate for a wrong password (not the
# signer's dump naming a copy in the work folder), the signer to install when there is none.
echo "wrong-password" >"$work/wrong"
expect_refusal "can't open the certificate '$work/signer.p12': wrong password" --run argument_probe.exe \
  --file "$launchers/argument_probe.exe" --sign "$work/signer.p12" --sign-password-file "$work/wrong" \
  -o "$work/x.exe" --level 3
[ "$(grep -c . "$work/out")" -le 2 ] && ! grep -q "onefile-build-\|PKCS12 routines" "$work/out" \
  || { echo "FAIL: more than the one line for a wrong password"; cat "$work/out"; exit 1; }
expect_exit 2 env PATH=/nonexistent "$tool" build --run argument_probe.exe \
  --file "$launchers/argument_probe.exe" --sign "$work/signer.p12" -o "$work/x.exe"
grep -qF "needs osslsigncode on the PATH (Debian, Ubuntu: apt-get install osslsigncode" "$work/out" \
  || { echo "FAIL: the missing signer is not named"; cat "$work/out"; exit 1; }
expect_refusal "--sign and --sign-command exclude each other" --sign "$work/signer.p12" \
  --sign-command true --main "$demo_main" -o "$work/x.exe"
# A signing command of the user's own: run on each unsigned program of the payload, then on the
# launcher, each by its own name, in place; its failure is named with the file.
cat >"$work/my signer.sh" <<'SH'
printf '%s\n' "$(basename "$1")" >>"$SIGN_LOG"
osslsigncode sign -pkcs12 "$SIGN_CERT" -readpass "$SIGN_PASSWORD" -h sha256 -in "$1" -out "$1.signed" >/dev/null && mv "$1.signed" "$1"
SH
SIGN_LOG="$work/sign.log" SIGN_CERT="$work/signer.p12" SIGN_PASSWORD="$work/password" \
  "$bin_dir/onefile-build" --run argument_probe.exe --file "$launchers/argument_probe.exe" --console \
  --sign-command "sh '$work/my signer.sh'" -o "$work/Commanded.exe" --level 3 >/dev/null
[ "$(tr '\n' ' ' <"$work/sign.log")" = "onefile_run.dll argument_probe.exe Commanded.exe " ] \
  || { echo "FAIL: the signing command signed: $(cat "$work/sign.log")"; exit 1; }
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/Commanded.exe" >"$work/out" 2>&1 \
  || { echo "FAIL: the command's signature does not verify"; cat "$work/out"; exit 1; }
expect_exit 7 env ONEFILE_TEST_RECORD='C:\windows\temp\commanded-record' "$wine_run" "$work/Commanded.exe"
expect_refusal "stubs/onefile_run.dll' (exit status 3): no key" \
  --run argument_probe.exe --file "$launchers/argument_probe.exe" \
  --sign-command "echo no key; exit 3;" -o "$work/x.exe"

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
