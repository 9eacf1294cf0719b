#!/bin/sh
# The BMI2/ADX assembly is reachable only through the dispatcher:
#  1. every symbol that a bmi2_adx object defines for the linker lies in
#     p256::bmi2_adx (a weak copy of anything else could be the one the
#     linker keeps for every caller);
#  2. no other object of the engine holds an ADCX, ADOX or MULX instruction.
# Usage: check_isolation.sh OBJECT_DIR (the p256_engine target's objects).
set -eu
dir=$1
NM=${NM:-nm}
OBJDUMP=${OBJDUMP:-objdump}

adx_objects=$(find "$dir" -name '*.o' -path '*bmi2_adx*' | sort)
other_objects=$(find "$dir" -name '*.o' ! -path '*bmi2_adx*' | sort)
if [ -z "$other_objects" ]; then
  echo "isolation: FAILED: no objects under $dir" >&2
  exit 1
fi

status=0
if [ -n "$adx_objects" ]; then
  # Defined external symbols, demangled; "guard variable for ..." and the
  # like name their object after the words.
  foreign=$($NM -C --defined-only --extern-only $adx_objects | awk 'NF >= 3 && $1 != "" {sub(/^[0-9a-f]+ [A-Za-z] /, ""); print}' |
            grep -v -e '^p256::bmi2_adx::' -e ' p256::bmi2_adx::' || true)
  if [ -n "$foreign" ]; then
    echo "isolation: FAILED: bmi2_adx objects define symbols outside p256::bmi2_adx:" >&2
    echo "$foreign" >&2
    status=1
  fi
  count=$($OBJDUMP -d --no-show-raw-insn $adx_objects | grep -c -E '\s(adcx|adox|mulx)' || true)
  echo "isolation: $(echo "$adx_objects" | wc -l) bmi2_adx objects, $count ADCX/ADOX/MULX instructions"
fi
leaked=$($OBJDUMP -d --no-show-raw-insn $other_objects | grep -E '^[^ ].*:$|\s(adcx|adox|mulx)' |
         grep -B1 -E '\s(adcx|adox|mulx)' || true)
if [ -n "$leaked" ]; then
  echo "isolation: FAILED: ADCX/ADOX/MULX outside the bmi2_adx objects:" >&2
  echo "$leaked" | head -20 >&2
  status=1
else
  echo "isolation: $(echo "$other_objects" | wc -l) other objects, none with ADCX/ADOX/MULX"
fi
exit $status
