// The helper's entry point. The speech platform is whichever one the
// executable was linked with.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lifecycle/launch_options.h"
#include "lifecycle/main_driver.h"

int main(int argc, char** argv) {
    olvek::setProcessArguments(std::vector<std::string>(argv, argv + argc));
    auto platform = olvek::makeSpeechPlatform(olvek::RunLoop::main());
    const int status = olvek::runHelper(*platform);
    // Everything the host should see has been sent and the connection is
    // closed. Tearing the recognizer down would only free memory the process
    // end frees anyway (the speech model: about 25 ms), and would first wait
    // for a model load still in progress when the audio ended early.
    std::fflush(stdout);
    std::_Exit(status);
}
