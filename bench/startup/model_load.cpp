// Loads the stock English model once, as the helper's engine thread does, and
// exits: the load alone, for wall-clock timing and for profiling under
// `valgrind --tool=callgrind` (instruction counts do not depend on the
// machine's load).
//
//   olvek_model_load [--whole-dictionary] [--free]
//
// --whole-dictionary loads every dictionary entry (no trim); --free also
// frees the decoder, to count what the helper skips at exit. Exit status 0
// when the model loaded.
#include <cstring>

#include "recognition/pocketsphinx/model_locator.h"
#include "recognition/pocketsphinx/pocketsphinx_platform.h"
#include "recognition/pocketsphinx/sphinx_decoder.h"

int main(int argc, char** argv) {
    using namespace olvek::pocketsphinx;
    DecoderOptions options;
    bool freeIt = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--whole-dictionary") == 0) {
            options.trimDictionary = false;
        } else if (std::strcmp(argv[i], "--free") == 0) {
            freeIt = true;
        } else {
            return 2;
        }
    }
    auto files = locateModel(defaultModelRoot(), "en-US");
    if (!files) return 1;
    auto decoder = loadSphinxDecoder(*files, options);
    if (!decoder) return 1;
    if (!freeIt) (void)decoder.release(); // as the helper leaves it to the process end
    return 0;
}
