#!/usr/bin/env bash
# The downloads that cpack makes: unpacked, each holds the tool with its stubs, the README and the
# licences, and makes a working launcher as it is (the Windows tool under Wine).
set -euo pipefail
build_dir=$1 source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
wine_run="$build_dir/wine-run"
cpack --config "$build_dir/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 \
  || { echo "FAIL: cpack"; cat "$work/cpack.log"; exit 1; }
zip=("$work/packages"/onefile-*-windows-x64.zip)
tarball=("$work/packages"/onefile-*-linux-x86_64.tar.gz)
[ -f "${zip[0]}" ] && [ -f "${tarball[0]}" ] || { echo "FAIL: no downloads"; ls "$work/packages"; exit 1; }
python3 -m zipfile -e "${zip[0]}" "$work/windows"
mkdir -p "$work/linux"
tar -xzf "${tarball[0]}" -C "$work/linux"
expect_files() {  # directory, then the files it must hold
  local directory=$1; shift
  for file in "$@"; do
    [ -f "$directory/$file" ] || { echo "FAIL: no $file in $directory"; find "$work/$(basename "$directory")"; exit 1; }
  done
}
windows_dir=("$work/windows"/onefile-*)
linux_dir=("$work/linux"/onefile-*)
shipped=(stubs/launcher.exe stubs/onefile_run.dll README.md LICENSE NOTICES.txt licences/zstd.txt
  licences/mingw-w64.txt licences/gcc-runtime.txt cmake/onefileConfig.cmake cmake/OnefileLauncher.cmake)
expect_files "${windows_dir[0]}" onefile.exe "${shipped[@]}"
expect_files "${linux_dir[0]}" onefile "${shipped[@]}" licences/glibc.txt licences/openssl.txt
# The user's README, not the developers'.
grep -q "^## Three lines" "${linux_dir[0]}/README.md" && ! grep -q "scripts/test.sh" "${linux_dir[0]}/README.md" \
  || { echo "FAIL: the download's README is not the user's"; exit 1; }
# The download is a CMake package whose tool and stub are its own.
cat >"$work/package.cmake" <<CMAKE
include("\${DIR}/cmake/onefileConfig.cmake")
if(NOT ONEFILE_TOOL_EXECUTABLE STREQUAL "\${DIR}/onefile" OR NOT EXISTS "\${ONEFILE_LAUNCHER_STUB}"
   OR NOT COMMAND onefile_add_launcher)
  message(FATAL_ERROR "FAIL: package: tool '\${ONEFILE_TOOL_EXECUTABLE}', stub '\${ONEFILE_LAUNCHER_STUB}'")
endif()
CMAKE
cmake -DDIR="${linux_dir[0]}" -P "$work/package.cmake"
[ ! -e "${windows_dir[0]}/onefile" ] && [ ! -e "${linux_dir[0]}/onefile.exe" ] \
  || { echo "FAIL: a download holds the other system's tool"; exit 1; }

# The README's three lines, on a program: unzip, build, run.
mkdir -p "$work/dist"
cp "$build_dir/tests/launcher/launchers/argument_probe.exe" "$work/dist/app.exe"
printf 'data\n' >"$work/dist/data.txt"
dist="Z:${work//\//\\}\\dist"
"$wine_run" "${windows_dir[0]}/onefile.exe" build --run app.exe --dir "$dist" \
  -o "Z:${work//\//\\}\\App.exe" >"$work/out" 2>&1 || { echo "FAIL: onefile.exe"; cat "$work/out"; exit 1; }
set +e
ONEFILE_TEST_RECORD='C:\windows\temp\download-record' "$wine_run" "$work/App.exe" >/dev/null 2>&1
status=$?
set -e
[ $status -eq 7 ] || { echo "FAIL: App.exe exited $status, expected the probe's 7"; exit 1; }
# Signing on Windows without a signer names what to install there.
set +e
"$wine_run" "${windows_dir[0]}/onefile.exe" build --run app.exe --dir "$dist" \
  --sign "Z:${windows_dir[0]//\//\\}\\LICENSE" \
  -o "Z:${work//\//\\}\\Signed.exe" >"$work/out" 2>&1
status=$?
set -e
[ $status -eq 2 ] && grep -q "needs signtool, from the Windows SDK" "$work/out" \
  || { echo "FAIL: the Windows tool without a signer exited $status"; cat "$work/out"; exit 1; }
# With signtool found (here a program that records its arguments and fails), --sign hands it the
# certificate, password, description and the copy to sign in place, and names it when it fails.
mkdir "$work/sdk"
cp "$work/dist/app.exe" "$work/sdk/signtool.exe"
printf 'secret\n' >"$work/password.txt"
set +e
WINEPATH="Z:${work//\//\\}\\sdk" ONEFILE_TEST_RECORD="Z:${work//\//\\}\\signtool.record" \
  "$wine_run" "${windows_dir[0]}/onefile.exe" build --run app.exe --dir "$dist" \
  --sign "Z:${windows_dir[0]//\//\\}\\LICENSE" --sign-password-file "Z:${work//\//\\}\\password.txt" \
  --product "My App" -o "Z:${work//\//\\}\\Signed.exe" >"$work/out" 2>&1
status=$?
set -e
[ $status -eq 2 ] && grep -q "signtool couldn't sign '.*onefile_run.dll'" "$work/out" \
  || { echo "FAIL: a failing signtool: exit $status"; cat "$work/out"; exit 1; }
python3 - "$work/signtool.record" <<'PY'
import sys
fields = open(sys.argv[1], 'rb').read().decode('utf-16-le').split('\0')
arguments = [fields[i + 1] for i in range(0, len(fields) - 1, 2) if fields[i] == 'arg'][1:]
expected = ['sign', '/fd', 'SHA256', '/f', None, '/p', 'secret', '/d', 'My App', None]
if len(arguments) != len(expected) or any(e is not None and a != e for a, e in zip(arguments, expected)) \
        or not arguments[4].endswith('LICENSE') or not arguments[9].endswith('\\onefile_run.dll'):
    sys.exit(f'FAIL: signtool was given {arguments}')
PY
# A signing command of the user's own runs through cmd with each file's path appended.
"$wine_run" "${windows_dir[0]}/onefile.exe" build --run app.exe --dir "$dist" \
  --sign-command "echo>>Z:${work//\//\\}\\sign.log" -o "Z:${work//\//\\}\\Signed.exe" \
  >"$work/out" 2>&1 || { echo "FAIL: --sign-command under Wine"; cat "$work/out"; exit 1; }
signed=$(tr -d '\r' <"$work/sign.log" | sed 's/.*\\//; s/"//g' | tr '\n' ' ')
[ "$signed" = "onefile_run.dll app.exe Signed.exe " ] \
  || { echo "FAIL: the signing command ran on: $signed"; cat "$work/sign.log"; exit 1; }
mkdir "$work/from_linux"
"${linux_dir[0]}/onefile" build --run app.exe --dir "$work/dist" -o "$work/from_linux/App.exe" >/dev/null
cmp "$work/App.exe" "$work/from_linux/App.exe" || { echo "FAIL: the downloads' tools differ"; exit 1; }
echo "the Windows zip and the Linux tarball each make a working launcher as they are"
