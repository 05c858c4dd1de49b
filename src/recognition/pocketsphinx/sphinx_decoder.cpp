#include "sphinx_decoder.h"

#include <csetjmp>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

namespace olvek::pocketsphinx {
namespace {

// Where a fatal library error on this thread jumps to while a model loads.
// Loading runs only C code of the library between the setjmp and the jump,
// so no C++ destructor is skipped; the half-built decoder is leaked, once,
// on the way to the helper's own refusal.
thread_local std::jmp_buf* fatalJump = nullptr;

extern "C" void onSphinxMessage(void*, err_lvl_t level, const char*, ...) {
    if (level == ERR_FATAL && fatalJump != nullptr) std::longjmp(*fatalJump, 1);
}

// Kept free of C++ objects: the jump lands here.
ps_decoder_t* initGuarded(cmd_ln_t* config) {
    std::jmp_buf landing;
    if (setjmp(landing) != 0) {
        fatalJump = nullptr;
        return nullptr;
    }
    fatalJump = &landing;
    ps_decoder_t* decoder = ps_init(config);
    fatalJump = nullptr;
    return decoder;
}

class SphinxDecoder final : public UtteranceDecoder {
public:
    SphinxDecoder(ps_decoder_t* decoder, cmd_ln_t* config) : decoder_(decoder), config_(config) {}
    ~SphinxDecoder() override {
        if (open_) ps_end_utt(decoder_);
        ps_free(decoder_);
        cmd_ln_free_r(config_);
    }
    SphinxDecoder(const SphinxDecoder&) = delete;
    SphinxDecoder& operator=(const SphinxDecoder&) = delete;

    bool startUtterance() override {
        if (ps_start_utt(decoder_) < 0) return false;
        open_ = true;
        kept_.clear();
        keptWhole_ = true;
        return true;
    }

    bool process(const std::int16_t* samples, std::size_t count) override {
        // The utterance's audio is kept for a second pass, up to a bound: a
        // longer utterance is not decoded again.
        if (keptWhole_ && kept_.size() + count <= kMaxKeptSamples) {
            kept_.insert(kept_.end(), samples, samples + count);
        } else {
            keptWhole_ = false;
        }
        return ps_process_raw(decoder_, samples, count, FALSE, FALSE) >= 0;
    }

    bool decodeAgain() override {
        if (open_ || !keptWhole_ || kept_.empty()) return false;
        if (ps_start_utt(decoder_) < 0) return false;
        // The whole utterance at once: its features are computed together,
        // with the cepstral mean the first pass left behind.
        const bool decoded = ps_process_raw(decoder_, kept_.data(), kept_.size(), FALSE, TRUE) >= 0;
        const bool ended = ps_end_utt(decoder_) >= 0;
        return decoded && ended;
    }

    bool inSpeech() const override { return ps_get_in_speech(decoder_) != 0; }

    std::string hypothesis() override {
        const char* text = ps_get_hyp(decoder_, nullptr);
        return text ? std::string(text) : std::string();
    }

    bool endUtterance() override {
        open_ = false;
        return ps_end_utt(decoder_) >= 0;
    }

private:
    // 20 s: longer than the engine's cut of an utterance in speech.
    static constexpr std::size_t kMaxKeptSamples = 20 * 16000;

    ps_decoder_t* const decoder_;
    cmd_ln_t* const config_;
    bool open_ = false;
    std::vector<std::int16_t> kept_;
    bool keptWhole_ = false;
};

} // namespace

void silenceSphinxLogging() {
    // Once per process: the library's logging settings are plain globals that
    // its other threads read. The callback sees every message (and catches
    // fatal ones while a model loads); the null stream stops the
    // configuration dumps that bypass it.
    static std::once_flag once;
    std::call_once(once, [] {
        err_set_callback(onSphinxMessage, nullptr);
        err_set_logfp(nullptr);
    });
}

std::unique_ptr<UtteranceDecoder> loadSphinxDecoder(const ModelFiles& files, const DecoderOptions& options) {
    silenceSphinxLogging();
    const std::string acousticModel = files.acousticModel.string();
    const std::string languageModel = files.languageModel.string();
    const std::string dictionary = files.dictionary.string();
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE,                                  //
                                   "-hmm", acousticModel.c_str(),                              //
                                   "-lm", languageModel.c_str(),                               //
                                   "-dict", dictionary.c_str(),                                //
                                   // Read the model into memory now: a truncated file then
                                   // fails the load instead of faulting mid-decode.
                                   "-mmap", "no",                                              //
                                   // All-zero audio upsets the voice-activity detector; a
                                   // fixed seed keeps runs reproducible.
                                   "-dither", "yes", "-seed", "1",                             //
                                   "-fwdflat", options.flatPass ? "yes" : "no",                //
                                   "-bestpath", options.bestPath ? "yes" : "no",               //
                                   static_cast<const char*>(nullptr));
    if (config == nullptr) return nullptr;
    ps_decoder_t* decoder = initGuarded(config);
    if (decoder == nullptr) {
        cmd_ln_free_r(config);
        return nullptr;
    }
    return std::make_unique<SphinxDecoder>(decoder, config);
}

} // namespace olvek::pocketsphinx
