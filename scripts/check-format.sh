#!/usr/bin/env bash
# Fails when a C++ file under version control differs from what clang-format 14
# makes of it with the repository's .clang-format; lists the files. With --fix
# rewrites them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
differ=()
for file in "${files[@]}"; do
  "$format" "$file" | cmp -s - "$file" || differ+=("$file")
done
if [ ${#differ[@]} -gt 0 ]; then
  printf 'not formatted (scripts/check-format.sh --fix): %s\n' "${differ[@]}" >&2
  exit 1
fi
echo "all ${#files[@]} C++ files formatted"
