#!/usr/bin/env bash
# The version is written in one tracked file, CMakeLists.txt (project
# VERSION); everything else takes it from the build. The changelog and the
# docs, which speak of releases, may name it too.
# Usage: check_version_once.sh SOURCE_DIR VERSION
set -euo pipefail
cd "$1"
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "not a git checkout: nothing to check"
  exit 0
fi
found=$(git grep -l -F "$2" -- ':!CMakeLists.txt' ':!CHANGELOG.md' ':!docs' ':!*.md' || true)
if [ -n "$found" ]; then
  echo "the version $2 is spelled outside CMakeLists.txt in:"
  echo "$found"
  exit 1
fi
echo "the version $2 is spelled in CMakeLists.txt only"
