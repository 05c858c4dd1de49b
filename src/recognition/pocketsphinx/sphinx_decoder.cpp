#include "sphinx_decoder.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include "recognition/pocketsphinx/dictionary_trim.h"

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

// "read(2)" is the second pronunciation of "read": the text shows the word.
std::string baseWord(const char* word) {
    std::string text(word);
    const auto open = text.rfind('(');
    if (open != std::string::npos && open > 0 && text.back() == ')') text.erase(open);
    return text;
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

    std::size_t frames() const override {
        const int searched = ps_get_n_frames(decoder_);
        return searched > 0 ? static_cast<std::size_t>(searched) : 0;
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

    std::vector<DecodedWord> words() override {
        const char* text = ps_get_hyp(decoder_, nullptr);
        if (text == nullptr || *text == '\0') return {};
        // The segmentation holds the hypothesis's words among fillers
        // (silences, breaths, noises), whose names the model's noise
        // dictionary chooses: match the hypothesis's words in order instead
        // of guessing which names are fillers.
        std::istringstream expected(text);
        std::vector<DecodedWord> words;
        std::string next;
        if (!(expected >> next)) return {};
        logmath_t* logmath = ps_get_logmath(decoder_);
        // Segment frames come with an offset the library keeps for the
        // stream, which it resets when speech resumes after frames its
        // voice-activity detection left out, while the search's own count of
        // the utterance's frames runs on. The first segment starts at the
        // search's frame 0, so it gives the offset away: frames counted as the
        // search counts them are what `frames()` reports.
        int origin = -1;
        for (ps_seg_t* seg = ps_seg_iter(decoder_); seg != nullptr; seg = ps_seg_next(seg)) {
            int first = 0, last = 0;
            ps_seg_frames(seg, &first, &last);
            if (origin < 0) origin = first;
            if (next.empty() || baseWord(ps_seg_word(seg)) != next) continue;
            DecodedWord word;
            word.text = next;
            word.firstFrame = first - origin;
            word.lastFrame = last - origin;
            // The posterior; zero (probability 1) where the decoder computed
            // none, as for every partial hypothesis.
            int32 ascr = 0, lscr = 0, lback = 0;
            word.confidence = std::clamp(logmath_exp(logmath, ps_seg_prob(seg, &ascr, &lscr, &lback)), 0.0, 1.0);
            words.push_back(std::move(word));
            if (!(expected >> next)) next.clear();
        }
        // A segmentation that does not hold every word cannot place them.
        if (!next.empty()) return {};
        return words;
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
    // Loads now run on engine threads, so two recognizers may load at once;
    // the library's load sets process-wide state (its dither generator's
    // seed among others) and was never meant to run twice at a time. The
    // only lock here: held for the load, never while decoding.
    static std::mutex loading;
    std::lock_guard<std::mutex> oneAtATime(loading);
    const std::string acousticModel = files.acousticModel.string();
    const std::string languageModel = files.languageModel.string();
    // Lives until the decoder has read it, inside ps_init.
    const std::unique_ptr<MemoryFile> trimmed = options.trimDictionary ? trimmedDictionary(files) : nullptr;
    const std::string dictionary = trimmed ? trimmed->path() : files.dictionary.string();
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
