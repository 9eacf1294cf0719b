# Writes OUTPUT, a C++ header holding each file of INPUTS as a byte array
# named after the file (pro_bootstrap.pyx -> kText_pro_bootstrap_pyx) with
# its length, so the texts reach the library byte for byte. INPUTS is
# separated by "|".
string(REPLACE "|" ";" INPUTS "${INPUTS}")
set(content "// Generated from the template files; do not edit.\n#pragma once\n#include <cstddef>\n\n")
foreach(input IN LISTS INPUTS)
  get_filename_component(name ${input} NAME)
  string(MAKE_C_IDENTIFIER ${name} ident)
  file(READ ${input} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND content "inline constexpr char kText_${ident}[] = {${bytes} 0};\n")
  string(APPEND content "inline constexpr std::size_t kText_${ident}_size = ${size};\n\n")
endforeach()
file(WRITE ${OUTPUT} "${content}")
