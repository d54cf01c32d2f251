#!/usr/bin/env bash
# Writes the seed corpus of payload_fuzz: small payload blocks made by `onefile pack`, plus a few
# made by hand around the edges of the entry list. Usage: make_corpus.sh ONEFILE OUTPUT_DIR
set -euo pipefail
onefile=$1 out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# Application files: a main module, nested directories, an empty file, a non-ASCII name (one
# unit outside the BMP), a file over one 32 KiB chunk and one over the 128 KiB window.
printf 'MZ main module' >"$work/main.dll"
mkdir -p "$work/files/sub/deeper" "$work/files/"$'caf\xc3\xa9'
printf 'a\n' >"$work/files/a.txt"
: >"$work/files/sub/deeper/empty.bin"
printf 'smile' >"$work/files/"$'caf\xc3\xa9/\xf0\x9f\x98\x80.txt'
head -c 40000 /dev/zero | tr '\0' 'x' >"$work/files/sub/chunked.txt"
awk 'BEGIN { for (i = 0; i < 12000; i++) printf "line %d of the window test\n", i % 97 }' \
  >"$work/files/sub/window.txt"
seq 1 600 >"$work/files/numbers.txt"

"$onefile" pack --main "$work/main.dll" -o "$out/main_only" --level 3 --threads 1
"$onefile" pack --main "$work/main.dll" --file "$work/files/a.txt=dir\\a.txt" \
  -o "$out/two_entries" --level 1 --threads 1
"$onefile" pack --main "$work/main.dll" --dir "$work/files" -o "$out/tree_level19" --level 19 \
  --threads 1
"$onefile" pack --main "$work/main.dll" --dir "$work/files" -o "$out/tree_level3" --level 3 \
  --threads 1
"$onefile" pack --main "$work/main.dll" --file "$work/files/sub/chunked.txt" \
  --file "$work/files/numbers.txt" -o "$out/chunks" --level 5 --threads 1

# By hand, with the zstd tool: an entry list that is only the end marker, one whose end marker
# is missing, and one whose name never ends.
frame() { zstd -q -c --no-check "$@"; }
block() { printf 'JIV'; cat; printf '\0\0\0\0\0\0\0\0\0'; }
printf '\0\0' | frame | block >"$out/end_marker_only"
printf 'a\0\0\0\1\0\0\0\0\0\0\0z' | frame | block >"$out/no_end_marker"
head -c 2100 /dev/zero | tr '\0' 'n' | frame | block >"$out/endless_name"

# A block cut right after its frame: the reader must still hand out what the decoder holds once
# all input is used up.
head -c -9 "$out/tree_level3" >"$out/tree_without_trailer"

# Frames cut into 1000-byte blocks, so that a block straddles the reader's window.
c++ -std=c++20 -O1 "$(dirname "${BASH_SOURCE[0]}")/seed_blocks.cpp" -lzstd -o "$work/seed_blocks"
"$work/seed_blocks" "$out"

# Kept from a fuzz run: a frame whose sequences make zstd 1.5.4 compute a prefetch address out of
# range (see CMakeLists.txt); it is no packer output, so it is not remade here.
