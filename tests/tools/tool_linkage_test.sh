#!/usr/bin/env bash
# The programs need no shared library beyond the allowed ones (none: linked statically), and
# nothing of the build machine's C++ runtime.
set -euo pipefail
objdump=$1 allowed=$2; shift 2
for program in "$@"; do
  needed=$("$objdump" -p "$program" | awk '$1 == "NEEDED" { print $2 }')
  for library in $needed; do
    [[ " $allowed " == *" $library "* ]] || { echo "FAIL: $program needs $library"; exit 1; }
  done
  if [ -z "$allowed" ]; then
    if ldd "$program" >/dev/null 2>&1; then
      echo "FAIL: ldd reads $program as dynamically linked"; ldd "$program"; exit 1
    fi
  elif "$objdump" -T "$program" | grep -qE 'GLIBCXX|CXXABI|GCC_[0-9]'; then
    echo "FAIL: $program needs the system's libstdc++ or libgcc"; exit 1
  fi
  echo "$program: needs ${needed:-no shared library}"
done
