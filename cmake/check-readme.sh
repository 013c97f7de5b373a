#!/bin/sh
# check-readme.sh SOURCE_DIR [README]: every C, C++, C# and JavaScript block
# of the README quotes a file under examples/ that the tests build and run:
# the whole file, or the lines between its "[name]" and "[/name]" lines, as
# the comment just above the block says:
#   <!-- example: examples/node/first.js -->
#   <!-- example: examples/cpp/tour.cpp [first] -->
set -eu
src=$1 readme=${2:-$1/README.md}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Each quoted block to $tmp/N, less its fence's indentation; its source to the manifest.
awk -v tmp="$tmp" '
  /^ *<!-- example: / { quote = $3; part = ($4 ~ /^\[/) ? $4 : ""; marked = NR; next }
  !inside && /^ *```/ {
    lang = $0; sub(/^ *```/, "", lang); indent = $0; sub(/```.*/, "", indent)
    inside = 1; n++
    if (lang ~ /^(c|cpp|csharp|js)$/) {
      if (marked != NR - 1) { printf "README line %d: a %s block that quotes no example\n", NR, lang; bad = 1 }
      else printf "%d %d %s %s\n", n, NR, quote, part >> (tmp "/manifest")
    }
    next
  }
  inside && /^ *```/ { inside = 0; next }
  inside { line = $0; if (index(line, indent) == 1) line = substr(line, length(indent) + 1); print line > (tmp "/" n) }
  END { exit bad }
' "$readme"
[ -f "$tmp/manifest" ] || { echo "the README quotes no example"; exit 1; }
count=0
while read -r n at file part; do
  [ -f "$src/$file" ] || { echo "README line $at: $file does not exist"; exit 1; }
  if [ -z "$part" ]; then
    cp "$src/$file" "$tmp/want"
  else
    name=${part#[}; name=${name%]}
    awk -v from="[$name]" -v upto="[/$name]" '
      index($0, upto) { exit }
      inside { line = $0; if (index(line, indent) == 1) line = substr(line, length(indent) + 1); print line }
      index($0, from) { inside = 1; found = 1; indent = $0; sub(/[^ ].*/, "", indent) }
      END { exit !found }
    ' "$src/$file" >"$tmp/want" || { echo "README line $at: $file has no part $part"; exit 1; }
  fi
  touch "$tmp/$n"
  if ! cmp -s "$tmp/want" "$tmp/$n"; then
    diff -u "$tmp/want" "$tmp/$n" | sed "1s|.*|--- $file $part|;2s|.*|+++ README.md line $at|"
    echo "README line $at differs from $file $part"
    exit 1
  fi
  count=$((count + 1))
done <"$tmp/manifest"
echo "completed: $count README blocks equal their examples"
