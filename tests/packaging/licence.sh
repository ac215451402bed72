#!/usr/bin/env bash
# Every tracked source and script names its licence in its first 5 lines:
#   SPDX-License-Identifier: MIT
# (after a #! line or an editor's mode line, in the file's comment syntax).
# Sources and scripts: C and C++, CMake, shell, Python, the manual page, the
# udev rules, and every file that starts with #!. Data (seed and regression
# inputs), documents and Debian's own control files are not.
#
#   tests/packaging/licence.sh
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top" || exit 1
# shellcheck source=../lib/results.sh
. tests/lib/results.sh
while IFS= read -r -d '' f; do
  case $f in
    fuzz/corpus/* | fuzz/regressions/*) continue ;;
    *.c | *.cpp | *.h | *.hpp | *.cmake | CMakeLists.txt | */CMakeLists.txt | *.sh | *.py | *.8 | *.rules) ;;
    *) [ "$(head -c 2 "$f")" = '#!' ] || continue ;;
  esac
  if head -n 5 "$f" | grep -Eq '(^|[^A-Za-z])SPDX-License-Identifier: MIT$'; then
    passed=$((passed + 1))
  else
    not_ok "$f: no 'SPDX-License-Identifier: MIT' in its first 5 lines"
  fi
done < <(git ls-files -z)
summary
