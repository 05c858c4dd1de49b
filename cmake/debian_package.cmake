# `cpack -G DEB` in the build folder makes the Debian package: olvek-transcribe
# on PATH, the helper in /usr/libexec/olvek-speech-helper, the manual pages
# and the bash completion. Library dependencies come from dpkg-shlibdeps;
# the English model is named here, since the helper only opens its files.
set(CPACK_PACKAGE_NAME olvek-speech-helper)
set(CPACK_PACKAGE_VENDOR "Olvek")
set(CPACK_PACKAGE_CONTACT "Olvek developers <dev@olvek.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "speech transcription helper of the Olvek application, and olvek-transcribe")
set(CPACK_PACKAGE_DESCRIPTION "The helper process the Olvek desktop application starts for voice input,
recognizing speech with PocketSphinx, and olvek-transcribe, which runs it to
transcribe a sound file, raw PCM from a pipe, or the microphone.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pocketsphinx-en-us")
# --mic records through a PulseAudio server; PipeWire desktops serve one too.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_GENERATOR DEB)
include(CPack)
