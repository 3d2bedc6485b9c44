#!/usr/bin/env bash
# The C examples of the documentation, as a host developer copies them: every ```c block of
# the given Markdown files compiles (C99, warnings as errors) inside a function that has the
# public header, a procedure `proc` and the callbacks the examples name, for this build's
# target; and every argument a call of proc passes after the header is cast to XtndArg, as a
# 64-bit build needs (a bare 0 would travel as a 32-bit int).
#   check_examples.sh CC INCLUDE_DIR FILE.md...
set -uo pipefail
cc=$1 include=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0 blocks=0
for doc in "$@"; do
  # Each block to its own file: NAME-N.block.
  awk -v out="$work/$(basename "$doc")" '
    /^```c$/ {n++; on = 1; next}
    /^```/ {on = 0}
    on {print > (out "-" n ".block")}' "$doc"
done
for block in "$work"/*.block; do
  [ -e "$block" ] || continue
  blocks=$((blocks + 1))
  name=$(basename "$block" .block)
  # The arguments of every proc( call, split at the commas outside parentheses.
  bad=$(tr '\n' ' ' <"$block" | awk '{
    text = $0
    while ((at = index(text, "proc(")) > 0) {
      text = substr(text, at + 5); depth = 0; arg = ""; n = 0
      for (i = 1; i <= length(text); i++) {
        c = substr(text, i, 1)
        if (c == "(") depth++
        if (c == ")" && depth == 0) { args[++n] = arg; break }
        if (c == ")") depth--
        if (c == "," && depth == 0) { args[++n] = arg; arg = ""; continue }
        arg = arg c
      }
      for (k = 2; k <= n; k++) {
        a = args[k]; gsub(/^ +| +$/, "", a); sub(/^\/\*[^*]*\*\/ */, "", a)
        if (a !~ /^\(XtndArg\)/) print "argument " k " of proc(...): " a
      }
      text = substr(text, i + 1)
    }
  }')
  if [ -n "$bad" ]; then
    echo "$name: not cast to XtndArg: $bad"
    failed=1
  fi
  {
    echo '#include <stdint.h>'
    echo '#include "pngtrans_host.h"'
    echo 'static int PNGTRANS_CDECL MyAllocate(HostImage* image) { (void)image; return 1; }'
    echo 'static int PNGTRANS_CDECL MyRelease(HostImage* image) { (void)image; return 1; }'
    echo 'static void PNGTRANS_CDECL MyProgress(int32_t done, int32_t total) { (void)done; (void)total; }'
    echo 'static HostImage image;'
    echo 'void Example(TranslatorProcFn proc);'
    echo 'void Example(TranslatorProcFn proc) {'
    cat "$block"
    echo '}'
  } >"$work/$name.c"
  if ! "$cc" -std=c99 -Wall -Wextra -Werror -Wno-unused-variable -Wno-unused-but-set-variable \
    -Wno-unused-function -I"$include" -c "$work/$name.c" -o "$work/$name.o" 2>"$work/$name.err"; then
    echo "$name: does not compile:"
    cat "$work/$name.err"
    failed=1
  fi
done
if [ "$blocks" -eq 0 ]; then
  echo "check_examples: no C example found"
  exit 1
fi
echo "check_examples: $blocks examples, $([ $failed -eq 0 ] && echo "all compile with every argument cast" || echo "FAILED")"
exit $failed
