# quelt_sdk.pyd, cross-built on Linux with mingw-w64 against the limited API.
# No Windows interpreter exists on the build machine, so:
#  - the interpreter's headers are the build machine's own (the limited API is
#    the same everywhere), with a pyconfig.h for 64-bit Windows in place of
#    the build machine's;
#  - python3.dll's import library is made with dlltool from the list of
#    interpreter symbols that the module's objects import.
# An MSVC build on Windows never comes here: it finds its interpreter as usual.
if(NOT QUELT_PYTHON_HEADERS)
  find_program(QUELT_HOST_PYTHON NAMES python3 python REQUIRED)
  execute_process(
    COMMAND "${QUELT_HOST_PYTHON}" -c "import sysconfig; print(sysconfig.get_paths()['include'])"
    OUTPUT_VARIABLE QUELT_PYTHON_HEADERS OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
if(NOT EXISTS "${QUELT_PYTHON_HEADERS}/Python.h")
  message(FATAL_ERROR "no Python.h in ${QUELT_PYTHON_HEADERS} (set QUELT_PYTHON_HEADERS)")
endif()

# Python.h includes "pyconfig.h" from its own folder first, so the headers
# are staged in a folder of their own with the Windows pyconfig.h.
set(QUELT_WINDOWS_PYTHON_INCLUDE "${CMAKE_CURRENT_BINARY_DIR}/python-windows/include")
file(COPY "${QUELT_PYTHON_HEADERS}/" DESTINATION "${QUELT_WINDOWS_PYTHON_INCLUDE}" PATTERN "pyconfig.h" EXCLUDE)
configure_file("${CMAKE_CURRENT_LIST_DIR}/windows/pyconfig.h" "${QUELT_WINDOWS_PYTHON_INCLUDE}/pyconfig.h" COPYONLY)

add_library(quelt_sdk_objects OBJECT ${QUELT_PYTHON_SOURCES})
target_include_directories(quelt_sdk_objects PRIVATE "${QUELT_WINDOWS_PYTHON_INCLUDE}")
target_link_libraries(quelt_sdk_objects PRIVATE quelt_core)
set_target_properties(quelt_sdk_objects PROPERTIES CXX_VISIBILITY_PRESET hidden)

set(QUELT_PYTHON3_DEF "${CMAKE_CURRENT_BINARY_DIR}/python-windows/python3.def")
set(QUELT_PYTHON3_IMPORTS "${CMAKE_CURRENT_BINARY_DIR}/python-windows/libpython3.a")
file(GENERATE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/python-windows/objects.txt"
     CONTENT "$<JOIN:$<TARGET_OBJECTS:quelt_sdk_objects>,\n>\n")
add_custom_command(
  OUTPUT "${QUELT_PYTHON3_DEF}"
  COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DOBJECT_LIST=${CMAKE_CURRENT_BINARY_DIR}/python-windows/objects.txt"
          "-DOUTPUT=${QUELT_PYTHON3_DEF}" -P "${CMAKE_CURRENT_LIST_DIR}/python3_def.cmake"
  DEPENDS $<TARGET_OBJECTS:quelt_sdk_objects> "${CMAKE_CURRENT_LIST_DIR}/python3_def.cmake"
  COMMENT "Listing the stable-ABI symbols that quelt_sdk imports")
add_custom_command(
  OUTPUT "${QUELT_PYTHON3_IMPORTS}"
  COMMAND "${CMAKE_DLLTOOL}" --input-def "${QUELT_PYTHON3_DEF}" --dllname python3.dll
          --output-lib "${QUELT_PYTHON3_IMPORTS}"
  DEPENDS "${QUELT_PYTHON3_DEF}"
  COMMENT "Making python3.dll's import library")
add_custom_target(quelt_python3_imports DEPENDS "${QUELT_PYTHON3_IMPORTS}")

add_library(quelt_sdk MODULE $<TARGET_OBJECTS:quelt_sdk_objects>)
add_dependencies(quelt_sdk quelt_python3_imports)
target_link_libraries(quelt_sdk PRIVATE "${QUELT_PYTHON3_IMPORTS}")
set_target_properties(quelt_sdk PROPERTIES PREFIX "" SUFFIX ".pyd")
