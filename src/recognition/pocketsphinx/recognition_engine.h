// The engine behind a PocketSphinx recognizer: one decoder, owned by one
// engine thread for the engine's whole life, decoding the audio of one task
// after another.
//
// Loading: the engine thread first runs the loader it was given, which makes
// the decoder (a large model takes a few hundred milliseconds), so the engine
// is made at once. Meanwhile sessions start, audio is appended (its callers
// held back exactly as when the decoder is busy: nothing is dropped) and
// tasks are cancelled as usual; decoding begins when the load is done. When
// the loader gives no decoder, every task, those started before and after,
// ends with the error `kModelLoadFailure` and its audio is dropped (there is
// nothing to decode it with).
//
// Threads: `makeSession`, `startSession`, `append`, `endAudio` and `cancel`
// are called from the main thread. Decoding runs on the engine thread. A
// task's handler runs only where its invocations are posted: `RunLoop::post`
// of the loop given at construction, never inline.
//
// Task behaviour: partials and finals as `task_policy.h` decides. In short, a
// final at every pause after words, at an utterance that runs
// `maxUtteranceSamples` without a pause, and at the end of the task's audio
// (with empty text when nothing was recognized). A pause final is given only
// while the caller waits inside `append` with all of the task's audio
// decoded, so a caller that turns the run loop after every `append` (as the
// continuous recognizer's caller does) delivers the final before it can give
// the ended task more audio: no audio is left behind in an ended task.
//
// No appended audio is lost:
// - `append` to the task being decoded blocks (back-pressure) until nothing else of the task waits to
//   be decoded, and then, after queueing the line, until the line before it
//   is decoded and at most `backlogCapSamples()` of it waits: one line in
//   flight, so the decoder never idles behind a fast caller, and a pause
//   gives its final at the same line whatever the caller's pace. The cap is measured in decoding time:
//   `maxBacklogDecodeSeconds` at the speed the decoder shows now, so a slow
//   or loaded machine holds the caller back instead of piling up audio that
//   could not be decoded in time after the end of audio.
// - While a final is due (`finalDue` in the policy), and always for a line of
//   `holdWholeLineSamples` or more, `append` also waits until its line is
//   decoded and the engine has decided on it: that is the safe point where
//   the final is given.
// - Audio that reaches a task after its final (a caller that does not turn
//   the run loop between two appends) is kept and decoded first by the next
//   task started on this engine.
// - After `endAudio` the task's remaining audio is decoded and the final
//   comes with all of its words. The final comes at the latest
//   `finishingBudgetSeconds` after `endAudio` (a safety net that the cap
//   keeps out of reach): decoding then stops before a chunk that would not
//   fit, and when the utterance's closing pass would not fit either (its
//   cost is measured, in decoding time, at earlier utterance ends), the final
//   carries the best path decoded so far and goes out before the pass runs.
//   An utterance decoded again for its final (`secondPass`) is decoded again
//   only when that too fits.
// - A decoder failure ends the task with an error; the words of utterances
//   that ended before it come in a final in the same invocation, before the
//   error.
//
// Word times: every result carries its words placed in the engine's stream
// (all audio appended to any session, in order, from the first sample), so
// audio kept for the next task keeps its place.
//
// Also: transcript text is valid UTF-8 (ill-formed bytes become U+FFFD);
// `cancel` stops the task at once, its audio is dropped and no invocation of
// its handler runs after `cancel` returned (posted ones turn into no-ops).
// Cancelling a task that already gave its final is how the caller moves on:
// what was kept for the next task stays kept.
//
// Lifetime: the engine stops its thread and joins it in its destructor,
// wherever the last owner lets go (also during static destruction). Sessions
// and posted invocations do not refer to the engine.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/pcm_buffer.h"
#include "platform/run_loop.h"
#include "recognition/pocketsphinx/second_pass_policy.h"
#include "recognition/pocketsphinx/task_policy.h"
#include "recognition/pocketsphinx/utterance_decoder.h"
#include "recognition/pocketsphinx/utterance_placement.h"
#include "recognition/speech_platform.h"

namespace olvek::pocketsphinx {

struct EngineOptions {
    TaskPolicyOptions policy;
    // Decoding step: voice-activity ends are seen at this granularity and a
    // cancelled task stops within one step. 100 ms.
    std::size_t chunkSamples = 1600;
    // Audio allowed to wait for the decoder, in the time the decoder would
    // need for it. The helper gives the last final only 3 s after the end of
    // audio; half a second leaves room for a closing pass and a machine that
    // slows down after the estimate was taken.
    double maxBacklogDecodeSeconds = 0.5;
    // A line this long or longer holds its caller until it is decoded (see
    // `append`). Half a second.
    std::size_t holdWholeLineSamples = 8000;
    // Decoding speed assumed before the first chunk is measured (seconds of
    // decoding per second of audio): real time, a safe guess for a cold,
    // loaded machine.
    double initialRealTimeFactor = 1.0;
    // The helper waits 3 s for the last final and gets nothing at all when
    // it comes later, so the budget leaves room for the closing pass and the
    // delivery.
    double finishingBudgetSeconds = 2.2;
    // When an ended utterance is decoded again for its final (see
    // second_pass_policy.h). A decoder without a second pass ignores it.
    SecondPassOptions secondPass;
};

// Makes the engine's decoder; nothing when the model fails to load. Runs
// once, on the engine thread.
using DecoderLoader = std::function<std::unique_ptr<UtteranceDecoder>()>;

// The message of the error every task gets when the loader gave no decoder.
inline constexpr const char* kModelLoadFailure = "Speech recognition model failed to load";

// One appended line and how far decoding has come in it. `line` numbers the
// lines appended to a session, from 1; audio kept from a finished task
// carries 0 (nobody waits for it).
struct QueuedLine {
    std::shared_ptr<const PcmBuffer> buffer;
    std::size_t offset = 0;
    std::uint64_t line = 0;
    // Where the line's first sample lies in the engine's stream: every
    // sample ever appended, in order. Word times count from there.
    std::uint64_t streamStart = 0;
};

// One request's audio and, once started, its task's state.
class EngineSession;

class RecognitionEngine {
public:
    // Returns at once; the engine thread runs `loader` before anything else.
    RecognitionEngine(DecoderLoader loader, RunLoop& loop, EngineOptions options = {});
    // An engine over a decoder that is loaded already.
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
    // Queues one line of audio for `session`. Blocks as described above.
    void append(const std::shared_ptr<EngineSession>& session, std::shared_ptr<const PcmBuffer> buffer);
    void endAudio(const std::shared_ptr<EngineSession>& session);
    void cancel(const std::shared_ptr<EngineSession>& session);

    // Samples waiting for the decoder, for tests and measurements.
    std::size_t queuedSamples() const;
    // How many samples may wait at the decoder's current speed.
    std::size_t backlogCapSamples() const;

private:
    struct ChunkOutcome;
    struct HeldAppend {
        const EngineSession* session = nullptr;
        std::uint64_t line = 0;
    };

    void run();
    bool hasWorkLocked() const;
    std::size_t backlogCapLocked() const;
    bool outOfTimeLocked(const EngineSession& session) const;
    // When the task's final is due once its audio has ended; nothing before.
    std::optional<RunLoop::Clock::time_point> finishByLocked(const EngineSession& session) const;
    void dropAudioLocked(EngineSession& session);
    // Ends the task. With `keepRest`, its undecoded audio and what is
    // appended to it later go to the next task; otherwise they are dropped.
    void finishLocked(const std::shared_ptr<EngineSession>& session, bool keepRest);
    void postLocked(const std::shared_ptr<EngineSession>& session, std::optional<RecognitionResult> result,
                    std::optional<RecognitionError> error);
    // Gives the final `action` asks for; may release the lock to close the
    // decoder's utterance.
    void deliverFinalLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<EngineSession>& session,
                            FinalAction action, bool outOfTime);
    void failLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<EngineSession>& session);
    // Engine thread, without the lock.
    ChunkOutcome decodeChunk(const std::int16_t* samples, std::size_t count, std::uint64_t streamSample,
                             bool reportPartials, const EngineSession& session);
    // The open (or just closed) utterance's text and placed words.
    Transcript heardSoFar();
    // Ends the open utterance; `heard` is its final text and words.
    // Once `session`'s audio has ended, a second pass runs only if it fits
    // in the time left for its final. Takes the lock briefly.
    bool closeUtterance(Transcript& heard, const EngineSession& session);
    double predictedClosingSeconds() const;
    void abandonUtterance();

    // Engine thread only: the loader runs there and the decoder is set there
    // before the first decoding.
    DecoderLoader loader_;
    std::unique_ptr<UtteranceDecoder> decoder_;
    RunLoop& loop_;
    const EngineOptions options_;
    const RunLoop::Clock::duration finishingBudget_;

    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable space_;
    // Guarded by mutex_.
    std::deque<std::shared_ptr<EngineSession>> sessions_; // started, not done; front is decoded
    std::shared_ptr<EngineSession> carryOwner_;           // finished session whose later audio is kept
    std::deque<QueuedLine> carry_;
    std::size_t queued_ = 0;
    std::uint64_t streamSamples_ = 0; // every sample appended, for word times
    HeldAppend held_;          // the append that waits for its line's decision
    bool finalDue_ = false;    // the front task's final waits for a safe point
    double realTimeFactor_;    // decoding seconds per second of audio, recent
    bool loadFailed_ = false;  // the loader gave no decoder
    bool stopping_ = false;

    // Engine thread only.
    TaskState state_;
    UtterancePlacement placement_;
    // The closing pass at an utterance's end, in decoding time per second of
    // utterance: PocketSphinx's end of utterance searches the utterance's
    // whole word lattice. Measured a third of a second per second on an idle
    // machine; guessed high until measured.
    double closingPassCost_ = 0.5;
    // Samples decoded in the decoder's life. Engine thread only.
    std::size_t decodedSamples_ = 0;
    // Time the last closeUtterance spent in a second pass. Engine thread only.
    double secondPassSeconds_ = 0;

    std::thread thread_;
};

} // namespace olvek::pocketsphinx
