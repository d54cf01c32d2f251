#!/usr/bin/env bash
# Writes the seeds of the tool readers' fuzz targets (corpus_inspect, corpus_pe, corpus_ico,
# corpus_manifest) from a build's tool and stubs. Usage: make_tool_corpus.sh TOOL SOURCE_DIR
# (the tool finds its stubs beside it; the MinGW compiler makes the small program).
set -euo pipefail
tool=$1 source_dir=$2
out=$source_dir/tests/fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"/corpus_{inspect,pe,ico,manifest}

# A small program and DLL, stripped (the reader sees headers, sections, imports and exports).
printf 'int main(void) { return 3; }\n' >"$work/p.c"
printf '__declspec(dllexport) int run_code(void) { return 0; }\n' >"$work/d.c"
x86_64-w64-mingw32-gcc -Os -s -o "$out/corpus_pe/program.exe" "$work/p.c"
x86_64-w64-mingw32-gcc -Os -s -shared -o "$work/main.dll" "$work/d.c"
cp "$work/main.dll" "$out/corpus_pe/run_code.dll"

# A launcher's attached section and its .rsrc section ('R' first), cut out of a launcher.
printf 'hello\n' >"$work/a.txt"
"$tool" build --main "$work/main.dll" --file "$work/a.txt" --file "$work/a.txt=sub/b.txt" \
  --level 3 --company Seed --keep -o "$work/seed.exe" >/dev/null
python3 - "$work/seed.exe" "$out" <<'PY'
import struct, sys
image = open(sys.argv[1], 'rb').read()
nt = struct.unpack_from('<I', image, 0x3C)[0]
count = struct.unpack_from('<H', image, nt + 6)[0]
optional_size = struct.unpack_from('<H', image, nt + 20)[0]
table = nt + 24 + optional_size
for i in range(count):
    name, vsize, rva, raw_size, raw = struct.unpack_from('<8sIIII', image, table + 40 * i)
    data = image[raw:raw + min(vsize, raw_size)]
    if name == b'.onefile':
        open(sys.argv[2] + '/corpus_inspect/section', 'wb').write(data)
    if name.rstrip(b'\0') == b'.rsrc':
        # 'R', the section's RVA, the section.
        open(sys.argv[2] + '/corpus_inspect/rsrc', 'wb').write(b'R' + struct.pack('<I', rva) + data)
PY
cp "$source_dir/tests/tools/pe/three_images.ico" "$out/corpus_ico/"
sed -e 's/@ONEFILE_MANIFEST_LEVEL@/asInvoker/' -e 's/@ONEFILE_MANIFEST_SETTINGS@//' \
  "$source_dir/resources/launcher.manifest.in" >"$out/corpus_manifest/generated.manifest"
printf '<p:assembly xmlns:p="urn:schemas-microsoft-com:asm.v1" a="&amp;&#x41;"><![CDATA[x]]><?pi x?></p:assembly>\n' \
  >"$out/corpus_manifest/prefixed.manifest"
