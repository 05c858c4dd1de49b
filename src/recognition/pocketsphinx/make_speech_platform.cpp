// The helper's speech platform on Linux.
#include "recognition/pocketsphinx/pocketsphinx_platform.h"

namespace olvek {

std::unique_ptr<SpeechPlatform> makeSpeechPlatform(RunLoop& mainLoop) {
    return pocketsphinx::makePocketSphinxPlatform(mainLoop, pocketsphinx::defaultModelRoot());
}

} // namespace olvek
