#!/usr/bin/env bash
# Checks the bash completion of quillon-card: commands, one command's options,
# and a directory after --dir.
set -euo pipefail
source "$1"
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _quillon_card
  echo "${COMPREPLY[*]}"
}
check() {
  if [ "$1" != "$2" ]; then echo "expected '$2', got '$1'"; exit 1; fi
}
check "$(complete_words quillon-card ch)" "change-pin change-admin-key"
check "$(complete_words quillon-card info --j)" "--json"
check "$(complete_words quillon-card init --no)" "--no-reader"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/stick"
check "$(complete_words quillon-card apdu --dir "$dir/st")" "$dir/stick"
echo "completion ok"
