#!/usr/bin/env bash
# The main job: sets up this checkout (Debian packages, .venv, build) and
# walks through vl on a small project in a temporary directory: a store,
# records and hashes, authors and sections, tracking a data file with token
# counts, and the provenance queries.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
VL="$(pwd)/.venv/bin/vl"
checkout=$(pwd)

project=$(mktemp -d /tmp/vl-demo.XXXXXX)
trap 'rm -rf "$project"' EXIT
cd "$project"

step() { printf '\n\033[1m$ vl %s\033[0m\n' "$*"; "$VL" "$@"; }

echo "demo project: $project"
step init

# Records are JSON lines; values are stored and hashed in canonical form.
step jsonl append notes.jsonl '{"b": 2, "a": [1, 1.0, 1e16]}' '{"text": "héllo"}'
step jsonl read notes.jsonl
step hash '{"b": 2, "a": 1}' '{"a": 1, "b": 2}' '1' '1.0'

# Who wrote what.
ada=$("$VL" author add "Ada Lovelace" ada@example.org)
bob=$("$VL" author add "Bob Byron" bob@example.org)
step author list --name "Ada Lovelace"
notes=$("$VL" section add notes/engine.md --author "$ada" --license CC-BY-4.0 --year 1843)
poems=$("$VL" section add poems/childe.md --author "$bob" --contributor Ada --license CC0-1.0 --year 1812)
echo "sections: notes=$notes poems=$poems"

# A small training file whose lines derive from those sections.
cat > train.jsonl <<'DATA'
{"text": "The Analytical Engine weaves algebraic patterns", "id": 1}
{"text": "just as the Jacquard loom weaves flowers and leaves", "id": 2}
DATA
cat > poems.jsonl <<'DATA'
{"text": "Adieu, adieu! my native shore fades o'er the waters blue", "id": 3}
DATA
step track train.jsonl --source "$notes" --tokenizer whitespace -v
step track poems.jsonl --source "$poems" --tokenizer whitespace -v
step tokens list
step tokens merge whitespace
step tokens status whitespace

# Where did a line come from, and who contributed what?
step blame train.jsonl 2
cp train.jsonl train.v2.jsonl
sed -i 's/flowers and leaves/flowers and leaves!/' train.v2.jsonl
echo '{"text": "a new line", "id": 4}' >> train.v2.jsonl
step diff train.jsonl train.v2.jsonl || echo "(exit code $?: the versions differ, as with diff(1))"
step show author "Ada Lovelace"
step show license CC0-1.0
step show section "$notes"

# Withdrawal for a training pipeline: build the lookup indexes, withdraw
# Ada's token entries, and hand the trainer a forget set.
step index build
step tokens show whitespace --author "Ada Lovelace"
step tokens revoke whitespace --author "Ada Lovelace"
step tokens status whitespace
step forget-set whitespace forget.bin
"$(dirname "$VL")/python" -c 'from vl.forget import forget_mask; print("forget mask:", forget_mask("forget.bin", 3))'

# Withdrawal from the data itself: revoke the poems section, see what a
# purge would take out of poems.jsonl, purge it (the lines go to an archive
# in .vl/archive), look at the archive, then put the lines back and
# reinstate the section.
step revoke --section poems/childe.md
step purge poems.jsonl --dry-run
step purge poems.jsonl --yes
echo "poems.jsonl now holds $(wc -l < poems.jsonl) lines"
step archive
step archive "$("$VL" -q archive --json | "$(dirname "$VL")/python" -c 'import json, sys; print(json.loads(sys.stdin.readline())["archive"])')"
step restore poems.jsonl
cat poems.jsonl
step revoke --section poems/childe.md --reinstate

step log

# Housekeeping: the new version's token entries wait in a per-process file
# until a clean folds them in; then a second store (another worker's
# project) is merged in.
"$VL" -q track train.v2.jsonl --source "$notes" --tokenizer whitespace
step clean --dry-run
step clean
second="$project/second"
mkdir -p "$second"
"$VL" -q -C "$second" init . >/dev/null
"$VL" -q -C "$second" author add "Ada Lovelace" ada@example.org >/dev/null
notes2=$("$VL" -C "$second" section add notes/engine.md --author "Ada Lovelace" --license CC-BY-4.0 --year 1843)
echo '{"text": "a line tracked in the second store", "id": 5}' > "$second/more.jsonl"
"$VL" -q -C "$second" track more.jsonl --source "$notes2" --tokenizer whitespace
"$VL" -q -C "$second" clean >/dev/null
step merge "$second"
step tokens status whitespace

# What is the training data made of?  The composition report, as tables and
# as a self-contained HTML page (kept in build/ for scripts/report-shot.sh).
step report
step report --html report.html
mkdir -p "$checkout/build" && cp report.html "$checkout/build/demo-report.html"
echo "report page: $checkout/build/demo-report.html"
