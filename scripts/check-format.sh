#!/usr/bin/env bash
# Checks the layout of the C++ lines a change touches against .clang-format; untouched
# code is never judged. The change is measured from $CV_FORMAT_BASE when set, else from
# where HEAD left origin/main (or main), else from HEAD's parent; the working tree's own
# edits count too. Prints the reformatting wanted and fails when there is any.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
formatter=$(command -v clang-format-diff || command -v clang-format-diff-14 || true)
if [ -z "$formatter" ]; then
  # A check that cannot run must not pass: scripts/setup.sh installs it (package clang-format).
  echo "check-format: clang-format-diff is missing; run scripts/setup.sh as root" >&2
  exit 1
fi
if ! git rev-parse --git-dir >/dev/null 2>&1; then
  echo "check-format: no git history; layout not checked"
  exit 0
fi
base=${CV_FORMAT_BASE:-}
if [ -z "$base" ]; then
  for ref in origin/main main; do
    if git rev-parse -q --verify "$ref^{commit}" >/dev/null; then
      fork=$(git merge-base HEAD "$ref" || true)
      if [ -n "$fork" ] && [ "$fork" != "$(git rev-parse HEAD)" ]; then base=$fork; break; fi
    fi
  done
fi
if [ -z "$base" ]; then
  if git rev-parse -q --verify HEAD~1 >/dev/null; then base=HEAD~1; else
    echo "check-format: no earlier commit to compare with; layout not checked"
    exit 0
  fi
fi
wanted=$(git diff -U0 --no-color "$base" -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' \
           'tools/*.cpp' 'tools/*.h' 'bench/*.cpp' 'bench/*.h' | "$formatter" -p1)
if [ -n "$wanted" ]; then
  echo "check-format: changed lines differ from .clang-format (apply with clang-format-diff -p1 -i):"
  echo "$wanted"
  exit 1
fi
echo "check-format: changed lines match .clang-format (since $base)"
