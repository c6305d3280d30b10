# Writes the module-definition file of python3.dll's import library: every
# interpreter symbol the extension's objects import. The limited-API headers
# declare nothing else, so each of them belongs to the stable ABI.
# Variables: NM, OBJECT_LIST (a file naming one object per line), OUTPUT.
file(STRINGS "${OBJECT_LIST}" objects)
set(symbols)
foreach(object IN LISTS objects)
  execute_process(COMMAND "${NM}" -u "${object}" OUTPUT_VARIABLE undefined RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REGEX MATCHALL "__imp__?Py[A-Za-z0-9_]+" imported "${undefined}")
  list(APPEND symbols ${imported})
endforeach()
list(TRANSFORM symbols REPLACE "^__imp_" "")
list(REMOVE_DUPLICATES symbols)
list(SORT symbols)
list(JOIN symbols "\n" body)
file(WRITE "${OUTPUT}.new" "LIBRARY python3.dll\nEXPORTS\n${body}\n")
# Rewritten only when it changes, so the import library is not rebuilt for nothing.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
