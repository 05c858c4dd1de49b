// The engine behind a PocketSphinx recognizer: one decoder, owned by one
// engine thread for the engine's whole life, decoding the audio of one task
// after another.
//
// Threads: `makeSession`, `startSession`, `append`, `endAudio` and `cancel`
// are called from the main thread. Decoding runs on the engine thread. A
// task's handler runs only where its invocations are posted: `RunLoop::post`
// of the loop given at construction, never inline.
//
// Task behaviour:
// - Partial results while speech goes on, each the whole text of the task so
//   far, sent only when it changes and at most once per
//   `partialIntervalSamples` of decoded audio.
// - A final result when the decoder's voice-activity detection ends an
//   utterance in which words were recognized, when an utterance reaches
//   `maxUtteranceSamples` of speech without a pause, and at the end of the
//   task's audio (with empty text when nothing was recognized). An utterance
//   without words does not end the task.
// - Once `endAudio` was called, utterance ends no longer end the task: their
//   texts are joined and come in the one final at the end of the audio. That
//   final comes at the latest `finishingBudgetSeconds` after `endAudio`: the
//   utterance in progress is then closed and its words included, and audio
//   not yet decoded is dropped. A caller that waits a bounded time for the
//   final (the helper waits 3 s) so gets all the text that could be decoded
//   in that time, never nothing because the backlog was long.
// - An utterance end with more audio already waiting behind it ends the task
//   only once the task has decoded `maxHeldSamples`; before that its text is
//   kept and decoding goes on, so a host that streams faster than real time
//   does not strand the audio after its last pause in a task that has ended.
// - Audio that reaches a task after the point where its final was decided is
//   not decoded for that task; it is kept and decoded first by the next task
//   started on this engine (a host that streams faster than real time would
//   otherwise lose the start of every next utterance). `endAudio` on such a
//   task drops it: no more audio comes.
// - Transcript text is valid UTF-8: ill-formed bytes become U+FFFD.
// - A decoder failure ends the task with an error.
// - `cancel` stops the task at once: its audio is dropped and no invocation
//   of its handler runs after `cancel` returned (posted ones turn into
//   no-ops).
//
// Memory: audio waiting for the engine is capped at `maxQueuedSamples`;
// `append` to the task being decoded blocks until the engine has caught up
// (a single larger buffer is taken when nothing waits).
//
// Lifetime: the engine stops its thread and joins it in its destructor,
// wherever the last owner lets go (also during static destruction). Sessions
// and posted invocations do not refer to the engine.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/pcm_buffer.h"
#include "platform/run_loop.h"
#include "recognition/pocketsphinx/utterance_decoder.h"
#include "recognition/speech_platform.h"

namespace olvek::pocketsphinx {

struct EngineOptions {
    // 100 ms at 16 kHz.
    std::size_t partialIntervalSamples = 1600;
    // 15 s: longer than nearly every spoken sentence, so the cut is rare, yet
    // it keeps a final within a breath of the speaker and the decoder's
    // per-utterance lattice small.
    std::size_t maxUtteranceSamples = 15 * 16000;
    // An utterance end while more audio already waits behind it does not end
    // the task (the text is kept and decoding goes on), so audio that a fast
    // host sent after a pause stays in the task that will see the end of
    // audio. Past this much decoded audio in one task, the next utterance end
    // ends it all the same and the waiting audio goes to the next task, which
    // keeps each task's text, and so every partial, short. 20 s.
    std::size_t maxHeldSamples = 20 * 16000;
    // 2 s of audio. The helper gives the last final only a few seconds after
    // the end of audio, so whatever waits then must decode well inside that,
    // even on a loaded machine (about 0.4 s at this decoder's usual 0.2 times
    // real time). A host that sends faster than speech is held back in
    // `append` instead, which also keeps memory flat over any length.
    std::size_t maxQueuedSamples = 2 * 16000;
    // Decoding step: voice-activity ends are seen at this granularity and a
    // cancelled task stops within one step. 100 ms.
    std::size_t chunkSamples = 1600;
    // The helper waits 3 s for the last final and gets nothing at all when
    // it comes later, so the budget leaves room for the closing utterance's
    // final pass and the delivery (up to 0.35 s measured on a busy machine),
    // and no more: every tenth of a second kept is audio still decoded.
    double finishingBudgetSeconds = 2.2;
};

// One request's audio and, once started, its task's state.
class EngineSession;

class RecognitionEngine {
public:
    RecognitionEngine(std::unique_ptr<UtteranceDecoder> decoder, RunLoop& loop, EngineOptions options = {});
    ~RecognitionEngine();
    RecognitionEngine(const RecognitionEngine&) = delete;
    RecognitionEngine& operator=(const RecognitionEngine&) = delete;

    // A session for a new request; audio appended to it waits until it is
    // started.
    std::shared_ptr<EngineSession> makeSession();
    // Starts decoding `session` for `handler` once earlier sessions are done.
    // A session is started at most once; later calls are ignored.
    void startSession(const std::shared_ptr<EngineSession>& session, ResultHandler handler, bool reportPartials);
    // May block while the queue is full (see above).
    void append(const std::shared_ptr<EngineSession>& session, std::shared_ptr<const PcmBuffer> buffer);
    void endAudio(const std::shared_ptr<EngineSession>& session);
    void cancel(const std::shared_ptr<EngineSession>& session);

    // Samples waiting for the engine, for tests and measurements.
    std::size_t queuedSamples() const;

private:
    struct Step;

    void run();
    bool hasWorkLocked() const;
    void dropAudioLocked(EngineSession& session);
    void finishLocked(const std::shared_ptr<EngineSession>& session, bool keepRest);
    void postLocked(const std::shared_ptr<EngineSession>& session, std::optional<RecognitionResult> result,
                    std::optional<RecognitionError> error);
    // Engine thread, without the lock.
    Step decodeChunk(const std::int16_t* samples, std::size_t count, bool reportPartials);
    void closeUtterance();
    void resetTaskState();

    const std::unique_ptr<UtteranceDecoder> decoder_;
    RunLoop& loop_;
    const EngineOptions options_;
    const RunLoop::Clock::duration finishingBudget_;

    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable space_;
    // Guarded by mutex_.
    std::deque<std::shared_ptr<EngineSession>> sessions_; // started, not done; front is decoded
    std::shared_ptr<EngineSession> carryOwner_;           // finished session whose rest is kept
    std::deque<std::pair<std::shared_ptr<const PcmBuffer>, std::size_t>> carry_;
    std::size_t queued_ = 0;
    std::uint64_t nextSessionId_ = 1;
    bool stopping_ = false;

    // Engine thread only: the task being decoded.
    bool utteranceOpen_ = false;
    bool speechSeen_ = false;
    std::size_t speechSamples_ = 0;
    std::size_t taskSamples_ = 0;
    // The task kept an utterance's text past its end (audio waited behind it).
    bool holding_ = false;
    std::size_t samplesSincePartial_ = 0;
    std::string committedText_;
    std::string lastPartial_;

    std::thread thread_;
};

} // namespace olvek::pocketsphinx
