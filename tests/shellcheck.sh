#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# ShellCheck over every shell file in the repository: each tracked file that
# ends in .sh or whose #! line runs sh, bash or dash, at warning level, the
# files it sources followed (-x; .shellcheckrc says where to look). One check
# per file; a failing one lists its warnings. A warning that is wrong for a
# line is silenced on that line with a reason: "# shellcheck disable=SCxxxx
# # why".
#
#   tests/shellcheck.sh
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1
# shellcheck source=lib/results.sh
. tests/lib/results.sh

if ! command -v shellcheck >/dev/null; then
  not_ok "shellcheck is missing (tools/deps.sh installs it)"
  summary
  exit 1
fi
files=()
while IFS= read -r -d '' f; do
  [ -f "$f" ] || continue
  case $f in
    *.sh) ;;
    *) head -n 1 "$f" | grep -Eq '^#!.*(/|env[[:space:]]+)(ba|da)?sh([[:space:]]|$)' || continue ;;
  esac
  files+=("$f")
done < <(git ls-files -z)
echo "# $(shellcheck --version | sed -n 's/^version: /shellcheck /p'), ${#files[@]} files"
for f in "${files[@]}"; do
  if out=$(shellcheck -S warning -x -f gcc "$f" 2>&1); then
    ok "$f"
  else
    not_ok "$f: ShellCheck warns (below)"
    sed 's/^/#   /' <<<"$out"
  fi
done
# kelmo-stick whole: the files it sources put in place of their lines, so
# that what one file sets and another reads is checked too (each file on
# its own leaves those to this check).
whole=$(mktemp)
trap 'rm -f "$whole"' EXIT
while IFS= read -r line; do
  if [[ $line == 'lib='* ]]; then
    continue
  elif [[ $line =~ ^\.\ \"\$lib/([a-z]+\.sh)\"\ \|\|\ exit\ 1$ ]]; then
    grep -v '^# shellcheck disable=SC2034,SC2154$' "stick/${BASH_REMATCH[1]}"
  else
    printf '%s\n' "$line"
  fi
done <stick/kelmo-stick >"$whole"
if ! grep -q '^cmd_persist()' "$whole"; then
  not_ok "kelmo-stick with the files it sources, as one program: they were not found in it"
elif out=$(shellcheck -S warning -s bash -f gcc "$whole" 2>&1); then
  ok "kelmo-stick with the files it sources, as one program"
else
  not_ok "kelmo-stick with the files it sources, as one program: ShellCheck warns (below)"
  sed 's/^/#   /' <<<"$out"
fi
summary
