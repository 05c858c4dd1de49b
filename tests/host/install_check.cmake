# Installs the build into a scratch prefix and checks that the installed
# olvek-transcribe finds the helper installed beside it.
# -DBUILD_DIR=... -DPREFIX=... -DCLIP=...
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(program olvek-transcribe olvek-macos-speech-helper)
  if(NOT EXISTS ${PREFIX}/bin/${program})
    message(FATAL_ERROR "not installed: bin/${program}")
  endif()
endforeach()
# A language the helper has no recognizer for: the installed helper must
# answer (status 5 of olvek-transcribe); a helper not found would be 4.
execute_process(COMMAND ${PREFIX}/bin/olvek-transcribe --lang zh ${CLIP}
                RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
file(REMOVE_RECURSE ${PREFIX})
if(NOT rc EQUAL 5 OR NOT err MATCHES "no speech recognizer is available for --lang zh")
  message(FATAL_ERROR "installed olvek-transcribe: status ${rc}, ${err}")
endif()
