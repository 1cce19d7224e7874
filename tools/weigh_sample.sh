#!/usr/bin/env bash
# Weighs the sample train: synthesizes tools/sample_train.json (a Co-Co
# locomotive with loaded and empty wagons over two lines), runs korvanet on
# it in debug mode and sets the result next to the truth.
#
#   tools/weigh_sample.sh [BUILD_DIR] [extra korvanet options, e.g. --trainId=demo-1]
set -euo pipefail
TOOLS="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="$(cd "${1:-$TOOLS/../build}" && pwd)"
shift || true

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$BUILD/synth" "$TOOLS/sample_train.json" "$work/sample"
echo
echo "== korvanet sample.osc --config-file=sample.json.conf --debug=1 $* =="
(cd "$work" && "$BUILD/korvanet" sample.osc --config-file=sample.json.conf --debug=1 "$@" >result.txt 2>log.txt) || {
  echo "korvanet failed (exit status $?); its log:"
  cat "$work/log.txt"
  exit 1
}
python3 - "$work/result.txt" <<'PY'
import sys
document = [l for l in open(sys.argv[1]).read().splitlines() if l.startswith("{")][-1]
print("result document, %d bytes:" % len(document))
print(document[:600] + (" ..." if len(document) > 600 else ""))
PY
echo
echo "== the train against its truth =="
python3 "$TOOLS/compare_truth.py" "$work/sample.truth.json" "$work/result.txt"
