# Reads values out of the helper's Info.plist so that CMake never restates them.
#
# The property list is flat (one dictionary of strings and Booleans), so a
# pattern over "<key>K</key> <string>V</string>" is enough; the bundle tests
# parse the same file with a real property-list reader and check that it stays
# that simple.
#
# Also runs as a script, which is how the tests exercise the name check:
#   cmake -DINFO_PLIST=<file> -DEXECUTABLE_NAME=<name> -P info_plist.cmake

# olvek_info_plist_string(<plist> <key> <out_var>)
# Sets <out_var> to the string value of <key>; stops the configure step when the
# key is missing or does not hold a string.
function(olvek_info_plist_string plist key out_var)
  file(READ "${plist}" text)
  set(space "[ \t\r\n]*")
  if(NOT text MATCHES "<key>${key}</key>${space}<string>([^<]*)</string>")
    message(FATAL_ERROR "${plist}: ${key} has no string value")
  endif()
  set(${out_var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

# olvek_check_bundle_executable(<plist> <executable_name>)
# The operating system finds the bundle's executable by CFBundleExecutable, so
# the name CMake gives the file and the one in the property list must be the
# same text. Stops the configure step when they differ.
function(olvek_check_bundle_executable plist executable_name)
  olvek_info_plist_string("${plist}" CFBundleExecutable listed_name)
  if(NOT listed_name STREQUAL executable_name)
    message(FATAL_ERROR
      "${plist}: CFBundleExecutable is \"${listed_name}\" but the helper "
      "executable is named \"${executable_name}\"; rename one to match the other")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  olvek_check_bundle_executable("${INFO_PLIST}" "${EXECUTABLE_NAME}")
endif()
