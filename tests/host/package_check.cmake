# Makes the Debian package of the build with cpack into a scratch folder and
# checks its control fields (dpkg-deb -I) and its files (dpkg-deb -c).
# -DBUILD_DIR=... -DOUT=...
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND cpack -G DEB -B ${OUT} --config ${BUILD_DIR}/CPackConfig.cmake
                RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB deb ${OUT}/*.deb)
if(NOT rc EQUAL 0 OR NOT deb)
  message(FATAL_ERROR "cpack -G DEB failed: ${rc}\n${log}")
endif()
execute_process(COMMAND dpkg-deb -I ${deb} OUTPUT_VARIABLE info RESULT_VARIABLE rc)
execute_process(COMMAND dpkg-deb -c ${deb} OUTPUT_VARIABLE contents)
file(REMOVE_RECURSE ${OUT})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -I failed on ${deb}")
endif()
string(REGEX MATCH "\n Depends: [^\n]*" depends "${info}")
# The libraries the programs link, from dpkg-shlibdeps, and the model the
# helper opens at run time.
foreach(package pocketsphinx-en-us libpocketsphinx3 libpulse0 libsndfile1 libsoxr0 libc6 libstdc\\+\\+6)
  if(NOT depends MATCHES "[ ,]${package}[ ,(\n]|[ ,]${package}$")
    message(FATAL_ERROR "Depends lacks ${package}:${depends}")
  endif()
endforeach()
foreach(field "Package: olvek-speech-helper" "Section: sound" "Architecture: ")
  if(NOT info MATCHES "${field}")
    message(FATAL_ERROR "control lacks '${field}':\n${info}")
  endif()
endforeach()
foreach(file usr/bin/olvek-transcribe usr/libexec/olvek-speech-helper/olvek-macos-speech-helper
             usr/share/man/man1/olvek-transcribe.1.gz usr/share/man/man8/olvek-macos-speech-helper.8.gz
             usr/share/bash-completion/completions/olvek-transcribe)
  if(NOT contents MATCHES " \\./${file}\n")
    message(FATAL_ERROR "the package lacks /${file}:\n${contents}")
  endif()
endforeach()
if(contents MATCHES "usr/bin/olvek-macos-speech-helper|\\.plist|/usr/local/")
  message(FATAL_ERROR "the package holds what it must not (helper on PATH, plists, /usr/local):\n${contents}")
endif()
