# Installs the build into a scratch prefix and checks the layout: the helper
# in its libexec folder and not on PATH, the plists only on macOS, the manual
# pages and the completion; then that the installed olvek-transcribe finds
# the installed helper.
# -DBUILD_DIR=... -DPREFIX=... -DCLIP=...
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
set(helper libexec/olvek-speech-helper/olvek-macos-speech-helper)
foreach(file bin/olvek-transcribe ${helper}
             share/man/man1/olvek-transcribe.1.gz share/man/man8/olvek-macos-speech-helper.8.gz
             share/bash-completion/completions/olvek-transcribe)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
foreach(file bin/olvek-macos-speech-helper share/olvek-speech-helper/Info.plist
             share/olvek-speech-helper/entitlements.plist)
  if(EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "installed, but must not be on this system: ${file}")
  endif()
endforeach()
# A language the helper has no recognizer for: the installed helper must
# answer (status 5 of olvek-transcribe); a helper not found would be 4.
execute_process(COMMAND ${PREFIX}/bin/olvek-transcribe --lang zh ${CLIP}
                RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
if(NOT rc EQUAL 5 OR NOT err MATCHES "no speech recognizer is available for --lang zh")
  file(REMOVE_RECURSE ${PREFIX})
  message(FATAL_ERROR "installed olvek-transcribe: status ${rc}, ${err}")
endif()
# Moved elsewhere as a whole, the installation still works: the helper is
# found relative to the program, not at the prefix it was installed to.
file(RENAME ${PREFIX} ${PREFIX}-moved)
execute_process(COMMAND ${PREFIX}-moved/bin/olvek-transcribe --lang zh ${CLIP}
                RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
file(REMOVE_RECURSE ${PREFIX}-moved)
if(NOT rc EQUAL 5)
  message(FATAL_ERROR "moved installation: status ${rc}, ${err}")
endif()
