#!/usr/bin/env bash
# The packaging tool built for Linux and the one built for Windows (under Wine), given the same
# inputs and different thread counts, write the same bytes (launchers and payload blocks); and a launcher that CMake made is the
# one that the tool makes by hand from the same inputs. The Windows tool also replaces an older
# output in one rename, and refuses a directory as its output.
set -euo pipefail
linux_tool=$1 windows_tool=$2 wine_run=$3 source_dir=$4 launchers=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
windows() { printf 'Z:%s' "${1//\//\\}"; }

# Inputs with every option family: non-ASCII names, an icon, a manifest of one's own, keep modes.
mkdir -p "$work/app/sub dir"
printf 'one\n' >"$work/app/a.txt"
printf 'deeper, with a non-ASCII name\n' >"$work/app/sub dir/ünïcode.txt"
head -c 300000 "$launchers/argument_probe.exe" >"$work/app/sub dir/large.bin"
cat >"$work/own.manifest" <<'XML'
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"><!-- mine --></assembly>
XML
# A tree below a path of more than 300 characters, with a file whose path passes 550: a tool
# that lists directories or opens files only up to MAX_PATH (260) would leave files out.
long() { printf "%${2}s" | tr ' ' "$1"; }
deep_parent=$work/deep/$(long d 120)/$(long e 120)
deep=$deep_parent/$(long f 60)
mkdir -p "$deep/$(long g 120)"
printf 'deep\n' >"$deep/$(long g 120)/$(long h 100).txt"
printf 'top\n' >"$deep/top.txt"
printf 'not part of the tree\n' >"$work/deep/beside.txt"
icon=$source_dir/tests/launcher/modules/test.ico
cases=(
  "--main|$launchers/record_main.dll|--dir|$work/app|--console|--company|Société Étienne|--product|Продукт 製品|--version|1.2.3.4|--icon|$icon|--utf8|--uac-admin|--dpi-aware|system"
  "--run|bin\\argument_probe.exe|--file|$launchers/argument_probe.exe=bin/argument_probe.exe|--dir|$work/app|--keep-verify|--target-spec|{LOCAL_APPDATA}\\x\\{DIGEST}|--manifest|$work/own.manifest|--no-error-dialog|--no-progress|--level|5"
  "--main|$launchers/record_main.dll|--file|$work/app/a.txt|--keep|--dpi-aware|permonitorv2|--original-filename|Other.exe|--internal-name|Other"
  "--main|$launchers/record_main.dll|--dir|$deep|--file|$deep/$(long g 120)/$(long h 100).txt=h.txt"
)
# The output's name is in the version record: each tool writes under the same name.
mkdir "$work/linux" "$work/windows"
number=0
for case in "${cases[@]}"; do
  number=$((number + 1))
  IFS='|' read -r -a linux_options <<<"$case"
  windows_options=()
  for option in "${linux_options[@]}"; do
    case "$option" in
      /*=*) windows_options+=("$(windows "${option%%=*}")=${option#*=}") ;;
      /*) windows_options+=("$(windows "$option")") ;;
      *) windows_options+=("$option") ;;
    esac
  done
  "$linux_tool" build "${linux_options[@]}" --threads 1 -o "$work/linux/case$number.exe" \
    >"$work/out" 2>&1 || { echo "FAIL: the Linux tool failed on case $number"; cat "$work/out"; exit 1; }
  "$wine_run" "$windows_tool" build "${windows_options[@]}" --threads 3 \
    -o "$(windows "$work/windows/case$number.exe")" >"$work/out" 2>&1 \
    || { echo "FAIL: the Windows tool failed on case $number"; cat "$work/out"; exit 1; }
  cmp "$work/linux/case$number.exe" "$work/windows/case$number.exe" \
    || { echo "FAIL: case $number differs between Linux and Windows"; exit 1; }
done

# The deep tree given relative to the current directory: the same launcher as given whole.
mkdir "$work/relative_linux" "$work/relative_windows"
relative=${deep#"$work/deep/"}
(cd "$work/deep" && "$linux_tool" build --main "$launchers/record_main.dll" --dir "$relative" \
  --file "$relative/$(long g 120)/$(long h 100).txt=h.txt" --threads 1 \
  -o "$work/relative_linux/case$number.exe" >"$work/out" 2>&1) \
  || { echo "FAIL: the Linux tool failed on a relative deep tree"; cat "$work/out"; exit 1; }
(cd "$work/deep" && "$wine_run" "$windows_tool" build --main "$(windows "$launchers/record_main.dll")" \
  --dir "${relative//\//\\}" --file "${relative//\//\\}\\$(long g 120)\\$(long h 100).txt=h.txt" \
  --threads 2 -o "$(windows "$work/relative_windows/case$number.exe")" >"$work/out" 2>&1) \
  || { echo "FAIL: the Windows tool failed on a relative deep tree"; cat "$work/out"; exit 1; }
for output in "$work/relative_linux/case$number.exe" "$work/relative_windows/case$number.exe"; do
  cmp "$work/linux/case$number.exe" "$output" \
    || { echo "FAIL: $output, from a relative deep tree, differs"; exit 1; }
done

# The Windows tool carries its own manifest and version record.
if command -v x86_64-w64-mingw32-windres >/dev/null; then
  x86_64-w64-mingw32-windres -i "$windows_tool" -O rc >"$work/tool.rc"
  for wanted in '<longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true' \
    '>UTF-8</activeCodePage>' 'level=""asInvoker""' 'VALUE "OriginalFilename", "onefile.exe"'; do
    grep -qF "$wanted" "$work/tool.rc" || { echo "FAIL: the Windows tool lacks $wanted"; exit 1; }
  done
fi

# A payload after the image (the threshold lowered to 0) is the same from both tools too.
export ONEFILE_TEST_PAYLOAD_OUTSIDE_ABOVE=0
"$linux_tool" build --main "$launchers/record_main.dll" --dir "$work/app" --threads 1 \
  -o "$work/linux/outside.exe" >/dev/null
"$wine_run" "$windows_tool" build --main "$(windows "$launchers/record_main.dll")" \
  --dir "$(windows "$work/app")" --threads 3 -o "$(windows "$work/windows/outside.exe")" >/dev/null
unset ONEFILE_TEST_PAYLOAD_OUTSIDE_ABOVE
cmp "$work/linux/outside.exe" "$work/windows/outside.exe" \
  || { echo "FAIL: a payload after the image differs between Linux and Windows"; exit 1; }

# The payload block alone (onefile pack) is the same from both tools too.
"$linux_tool" pack --main "$launchers/record_main.dll" --dir "$work/app" --threads 1 \
  -o "$work/linux/payload.bin" >/dev/null
"$wine_run" "$windows_tool" pack --main "$(windows "$launchers/record_main.dll")" \
  --dir "$(windows "$work/app")" --threads 3 -o "$(windows "$work/windows/payload.bin")" >/dev/null
cmp "$work/linux/payload.bin" "$work/windows/payload.bin" \
  || { echo "FAIL: onefile pack's block differs between Linux and Windows"; exit 1; }

# The Windows tool replaces an older launcher and leaves nothing beside it.
"$wine_run" "$windows_tool" build --main "$(windows "$launchers/record_main.dll")" \
  --file "$(windows "$work/app/a.txt")" --threads 1 -o "$(windows "$work/windows/case1.exe")" \
  >/dev/null 2>&1
cmp -s "$work/linux/case1.exe" "$work/windows/case1.exe" && { echo "FAIL: not replaced"; exit 1; }
[ -z "$(find "$work/windows" -name '*.tmp')" ] || { echo "FAIL: a temporary file stayed"; exit 1; }
set +e
"$wine_run" "$windows_tool" build --main "$(windows "$launchers/record_main.dll")" \
  -o "$(windows "$work/app")" >"$work/out" 2>&1
status=$?
set -e
[ $status -eq 2 ] && grep -q "can't write .*it is a directory" "$work/out" \
  || { echo "FAIL: a directory as output: exit $status"; cat "$work/out"; exit 1; }

# What CMake made for run_probe_launcher, made by hand (the tool's defaults are the build's).
"$linux_tool" build --run argument_probe.exe \
  --file "$launchers/argument_probe.exe=argument_probe.exe" --level 3 --icon "$icon" --utf8 \
  --company "Société Étienne" --product "Продукт 製品" --version 1.2.3 \
  --product-version 1.2.0-beta --description "Argument probe" \
  --copyright "© 2026 Société Étienne" --comments "Records its arguments" \
  --dpi-aware permonitorv2 -o "$work/run_probe_launcher.exe" >/dev/null
cmp "$work/run_probe_launcher.exe" "$launchers/run_probe_launcher.exe" \
  || { echo "FAIL: the launcher made by hand differs from CMake's"; exit 1; }
echo "the same bytes from the Linux and the Windows tool, and from CMake and by hand"
