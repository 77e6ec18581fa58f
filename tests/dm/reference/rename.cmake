# Writes HEADER (#define name zebref_name for every C name that LIBRARY
# exports) and MAP (a version script exporting only the renamed names).
execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}" OUTPUT_VARIABLE listing
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ [BDGRSTVW] [A-Za-z][A-Za-z0-9_]*" symbols "${listing}")
set(header "/* Generated from ${LIBRARY}: do not edit. */\n#pragma once\n")
set(map "{\n  global:\n")
foreach(line IN LISTS symbols)
  string(REGEX REPLACE "^.* " "" name "${line}")
  string(APPEND header "#define ${name} zebref_${name}\n")
  string(APPEND map "    zebref_${name};\n")
endforeach()
string(APPEND map "  local: *;\n};\n")
# Rewritten only when they change, so that relinking libzeb_dm does not
# rebuild the reference.
foreach(kind HEADER MAP)
  string(TOLOWER "${kind}" content)
  file(WRITE "${${kind}}.new" "${${content}}")
  file(COPY_FILE "${${kind}}.new" "${${kind}}" ONLY_IF_DIFFERENT)
  file(REMOVE "${${kind}}.new")
endforeach()
