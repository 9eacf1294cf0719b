#!/usr/bin/env bash
# Prints the newest CPython interpreter on this machine other than the
# default python3 (pyenv installs first, then python3.N on PATH), or nothing.
set -u
default=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || echo none)
candidates=()
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for dir in "$root"/versions/3.*; do
  [ -x "$dir/bin/python3" ] && candidates+=("$dir/bin/python3")
done
for minor in 13 12; do
  p=$(command -v "python3.$minor" 2>/dev/null) && candidates+=("$p")
done
best="" best_key=0
for p in "${candidates[@]}"; do
  info=$("$p" -c 'import sys; print("%d.%d %d" % (sys.version_info[0], sys.version_info[1], sys.version_info[0]*100+sys.version_info[1]))' 2>/dev/null) || continue
  version=${info% *} key=${info#* }
  [ "$version" = "$default" ] && continue
  [ "$key" -lt 311 ] && continue
  if [ "$key" -gt "$best_key" ]; then best=$p best_key=$key; fi
done
[ -n "$best" ] && echo "$best"
exit 0
