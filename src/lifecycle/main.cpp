// The helper's entry point. The speech platform is whichever one the
// executable was linked with.
#include <string>
#include <vector>

#include "lifecycle/launch_options.h"
#include "lifecycle/main_driver.h"

int main(int argc, char** argv) {
    olvek::setProcessArguments(std::vector<std::string>(argv, argv + argc));
    auto platform = olvek::makeSpeechPlatform(olvek::RunLoop::main());
    return olvek::runHelper(*platform);
}
