#include "recognition_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/utf8.h"
#include "recognition/pocketsphinx/second_pass_placement.h"

namespace olvek::pocketsphinx {

namespace {

constexpr double kSampleRate = 16000;

std::size_t remainingSamples(const std::deque<QueuedLine>& audio) {
    std::size_t total = 0;
    for (const auto& queued : audio) total += queued.buffer->frameLength() - queued.offset;
    return total;
}

double secondsSince(RunLoop::Clock::time_point start) {
    return std::chrono::duration<double>(RunLoop::Clock::now() - start).count();
}

RecognitionResult finalResult(Transcript heard) {
    return RecognitionResult{true, std::move(heard.text), std::move(heard.words)};
}

// Recent measurements count most: the machine's load changes.
double blend(double estimate, double sample) { return 0.7 * estimate + 0.3 * sample; }

} // namespace

class EngineSession {
public:
    // All guarded by the engine's mutex, except `cancelled`, which posted
    // invocations also read on the main thread.
    std::deque<QueuedLine> audio;
    ResultHandler handler;
    bool started = false;
    bool reportPartials = true;
    bool audioEnded = false;
    RunLoop::Clock::time_point audioEndedAt;
    // Lines appended, and the last line decoded and decided on.
    std::uint64_t linesAppended = 0;
    std::uint64_t linesDecided = 0;
    bool done = false;
    std::atomic<bool> cancelled{false};
};

struct RecognitionEngine::ChunkOutcome {
    bool failed = false;
    // Samples the decoder decoded: it may leave digital silence undecoded.
    std::size_t decoded = 0;
    Transcript partial; // empty: none to send
    // Time the chunk spent decoding an ended utterance again: not decoding
    // speed, which it would otherwise skew.
    double secondPassSeconds = 0;
};

RecognitionEngine::RecognitionEngine(std::unique_ptr<UtteranceDecoder> decoder, RunLoop& loop, EngineOptions options)
    // A std::function must be copyable; the decoder is handed over once.
    : RecognitionEngine([held = std::make_shared<std::unique_ptr<UtteranceDecoder>>(std::move(decoder))] {
          return std::move(*held);
      }, loop, options) {}

RecognitionEngine::RecognitionEngine(DecoderLoader loader, RunLoop& loop, EngineOptions options)
    : loader_(std::move(loader)), loop_(loop), options_(options),
      finishingBudget_(std::chrono::duration_cast<RunLoop::Clock::duration>(
          std::chrono::duration<double>(options.finishingBudgetSeconds))),
      realTimeFactor_(options.initialRealTimeFactor) {
    thread_ = std::thread([this] { run(); });
}

RecognitionEngine::~RecognitionEngine() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    space_.notify_all();
    if (thread_.joinable()) {
        // Only a process exit started from inside the decoder can bring the
        // last owner here on the engine thread; it must not wait for itself.
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

std::shared_ptr<EngineSession> RecognitionEngine::makeSession() { return std::make_shared<EngineSession>(); }

void RecognitionEngine::startSession(const std::shared_ptr<EngineSession>& session, ResultHandler handler,
                                     bool reportPartials) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (session->started) return;
        session->started = true;
        session->handler = std::move(handler);
        session->reportPartials = reportPartials;
        session->audio.insert(session->audio.begin(), carry_.begin(), carry_.end());
        carry_.clear();
        carryOwner_.reset();
        sessions_.push_back(session);
    }
    work_.notify_one();
}

void RecognitionEngine::append(const std::shared_ptr<EngineSession>& session, std::shared_ptr<const PcmBuffer> buffer) {
    if (!buffer || buffer->frameLength() == 0) return;
    const std::size_t length = buffer->frameLength();
    std::unique_lock<std::mutex> lock(mutex_);
    // Its place in the stream is taken at once: a line the caller gives
    // holds its time even when no task hears it.
    const std::uint64_t streamStart = streamSamples_;
    streamSamples_ += length;
    auto decodedNow = [&] { return !sessions_.empty() && sessions_.front() == session; };
    // Only the task being decoded waits: the engine drains exactly that one.
    if (session->started && !session->done && decodedNow()) {
        space_.wait(lock, [&] { return stopping_ || session->cancelled || session->done || session->audio.empty(); });
    }
    if (stopping_ || session->cancelled) return;
    if (session->done) {
        // The caller has not seen the final yet; the next task takes this.
        if (carryOwner_ == session) {
            carry_.push_back(QueuedLine{std::move(buffer), 0, 0, streamStart});
            queued_ += length;
        }
        return;
    }
    const std::uint64_t line = ++session->linesAppended;
    session->audio.push_back(QueuedLine{std::move(buffer), 0, line, streamStart});
    queued_ += length;
    work_.notify_one();
    if (!session->started || !decodedNow()) return;

    // The caller goes on once its line is decided, or early, while the
    // decoder works on it: once the line before it is decided (so that a
    // pause found there still finds the caller here, at the same line as for
    // a caller that comes at speech pace), while no final is due and the
    // rest fits the cap. A long line is held whole: going on early would gain
    // little (the caller's turn is short beside the line's decoding), and a
    // pause inside it can then end the task at its end.
    const bool mayGoOnEarly = length < options_.holdWholeLineSamples;
    held_ = HeldAppend{session.get(), line};
    space_.wait(lock, [&] {
        return stopping_ || session->cancelled || session->done || session->linesDecided >= line ||
               (mayGoOnEarly && session->linesDecided + 1 >= line && !finalDue_ &&
                remainingSamples(session->audio) <= backlogCapLocked());
    });
    held_ = HeldAppend{};
}

void RecognitionEngine::endAudio(const std::shared_ptr<EngineSession>& session) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (session->done) {
            // No more audio comes: what was kept for a next task has none.
            if (carryOwner_ == session) {
                queued_ -= remainingSamples(carry_);
                carry_.clear();
                carryOwner_.reset();
            }
            return;
        }
        if (!session->audioEnded) session->audioEndedAt = RunLoop::Clock::now();
        session->audioEnded = true;
    }
    work_.notify_one();
}

void RecognitionEngine::cancel(const std::shared_ptr<EngineSession>& session) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (session->cancelled) return;
        session->cancelled = true;
        if (!session->done) {
            dropAudioLocked(*session);
            // The front session is the engine thread's to take out: it may be
            // decoding a chunk of it right now.
            if (!sessions_.empty() && sessions_.front() != session) {
                sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), session), sessions_.end());
            }
        }
    }
    work_.notify_one();
    space_.notify_all();
}

std::size_t RecognitionEngine::queuedSamples() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return queued_;
}

std::size_t RecognitionEngine::backlogCapSamples() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return backlogCapLocked();
}

std::size_t RecognitionEngine::backlogCapLocked() const {
    const double seconds = options_.maxBacklogDecodeSeconds / std::max(realTimeFactor_, 1e-3);
    return std::max(options_.chunkSamples, static_cast<std::size_t>(seconds * kSampleRate));
}

bool RecognitionEngine::hasWorkLocked() const {
    if (sessions_.empty()) return false;
    const auto& front = *sessions_.front();
    return loadFailed_ || front.cancelled || !front.audio.empty() || front.audioEnded;
}

std::optional<RunLoop::Clock::time_point> RecognitionEngine::finishByLocked(const EngineSession& session) const {
    if (!session.audioEnded) return std::nullopt;
    return session.audioEndedAt + finishingBudget_;
}

bool RecognitionEngine::outOfTimeLocked(const EngineSession& session) const {
    if (!session.audioEnded) return false;
    // Stop before a chunk that would end past the budget, not after it.
    const double chunkSeconds = realTimeFactor_ * static_cast<double>(options_.chunkSamples) / kSampleRate;
    const auto nextChunk = std::chrono::duration_cast<RunLoop::Clock::duration>(std::chrono::duration<double>(chunkSeconds));
    return RunLoop::Clock::now() + nextChunk >= session.audioEndedAt + finishingBudget_;
}

void RecognitionEngine::dropAudioLocked(EngineSession& session) {
    queued_ -= remainingSamples(session.audio);
    session.audio.clear();
    space_.notify_all();
}

void RecognitionEngine::finishLocked(const std::shared_ptr<EngineSession>& session, bool keepRest) {
    session->done = true;
    sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), session), sessions_.end());
    if (keepRest) {
        for (auto& queued : session->audio) {
            carry_.push_back(QueuedLine{std::move(queued.buffer), queued.offset, 0, queued.streamStart});
        }
        session->audio.clear();
        carryOwner_ = session;
    } else {
        dropAudioLocked(*session);
    }
    finalDue_ = false;
    space_.notify_all();
}

void RecognitionEngine::postLocked(const std::shared_ptr<EngineSession>& session,
                                   std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
    if (stopping_ || session->cancelled) return;
    if (result) {
        // Blanks end an ill-formed sequence as they end a word, so the
        // repaired words still spell the repaired text.
        result->bestTranscription = repairUtf8(result->bestTranscription);
        for (auto& segment : result->segments) segment.substring = repairUtf8(segment.substring);
    }
    // Posting under the lock is what makes `cancel` final: once it holds the
    // lock and sets the flag, nothing more is posted, and what was posted
    // earlier checks the flag on the main thread before it runs.
    loop_.post([session, result = std::move(result), error = std::move(error)] {
        if (session->cancelled) return;
        session->handler(result, error);
    });
}

Transcript RecognitionEngine::heardSoFar() {
    Transcript heard;
    heard.text = decoder_->hypothesis();
    std::string spelled;
    for (const DecodedWord& word : decoder_->words()) {
        spelled = joinText(spelled, word.text);
        heard.words.push_back(placement_.place(word, kSampleRate));
    }
    // Words that do not spell the text would contradict it: none instead.
    if (spelled != heard.text) heard.words.clear();
    return heard;
}

bool RecognitionEngine::closeUtterance(Transcript& heard, const EngineSession& session) {
    const auto start = RunLoop::Clock::now();
    secondPassSeconds_ = 0;
    const double audioSeconds = static_cast<double>(state_.utterance.samples) / kSampleRate;
    const bool ok = decoder_->endUtterance();
    if (!ok) return false;
    heard = heardSoFar();
    // Measured in decoding time, so that it scales with the machine's load
    // as the decoding does. Only the engine thread writes realTimeFactor_.
    // The estimate never falls below the last measurement: guessing it too
    // low at the end of audio costs the whole final, too high only the pass.
    if (audioSeconds > 0.5) {
        const double cost = secondsSince(start) / (audioSeconds * realTimeFactor_);
        closingPassCost_ = std::max(cost, blend(closingPassCost_, cost));
    }
    EndedUtterance ended;
    ended.heardSpeech = state_.utterance.heardSpeech;
    ended.heardWords = !heard.text.empty();
    ended.samples = state_.utterance.samples;
    ended.decodedBefore = decodedSamples_ - std::min(decodedSamples_, state_.utterance.samples);
    // Read now: the audio may have ended since the chunk was taken.
    std::optional<RunLoop::Clock::time_point> finishBy;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        finishBy = finishByLocked(session);
    }
    ended.finishing = finishBy.has_value();
    if (finishBy) ended.secondsLeft = -secondsSince(*finishBy);
    // The whole utterance decoded again at the speed measured now, and the
    // closing pass after it. The finishing budget keeps its own margin to
    // the host's limit for a machine that slows down meanwhile.
    ended.predictedSeconds = realTimeFactor_ * audioSeconds + predictedClosingSeconds();
    // A failed second pass leaves the first pass's words, already taken.
    const std::size_t liveFrames = decoder_->frames();
    const auto againStart = RunLoop::Clock::now();
    const bool decodedAgain = secondPassWanted(ended, options_.secondPass) && decoder_->decodeAgain();
    secondPassSeconds_ = secondsSince(againStart);
    if (decodedAgain) {
        UtteranceEnd end;
        end.frames = static_cast<int>(decoder_->frames());
        end.seconds = static_cast<double>(placement_.frameStart(liveFrames > 0 ? liveFrames - 1 : 0) + kSamplesPerFrame) /
                      kSampleRate;
        Transcript again;
        again.text = decoder_->hypothesis();
        std::string spelled;
        const std::vector<DecodedWord> words = decoder_->words();
        for (const DecodedWord& word : words) spelled = joinText(spelled, word.text);
        if (spelled == again.text) again.words = placeSecondPass(words, heard.words, end);
        heard = std::move(again);
    }
    return true;
}

double RecognitionEngine::predictedClosingSeconds() const {
    return closingPassCost_ * realTimeFactor_ * static_cast<double>(state_.utterance.samples) / kSampleRate;
}

void RecognitionEngine::abandonUtterance() {
    if (state_.utterance.open) decoder_->endUtterance();
    state_ = TaskState{};
}

RecognitionEngine::ChunkOutcome RecognitionEngine::decodeChunk(const std::int16_t* samples, std::size_t count,
                                                               std::uint64_t streamSample, bool reportPartials,
                                                               const EngineSession& session) {
    ChunkOutcome outcome;
    if (!state_.utterance.open) {
        if (!decoder_->startUtterance()) {
            outcome.failed = true;
            return outcome;
        }
        utteranceOpened(state_);
        placement_.reset();
    }
    const std::size_t droppedBefore = decoder_->droppedSamples();
    if (!decoder_->process(samples, count)) {
        outcome.failed = true;
        return outcome;
    }
    placement_.searched(decoder_->frames(), streamSample + count);
    // Audio the decoder left out is not part of its utterance: it neither
    // lengthens the closing pass nor counts toward the utterance's limit.
    outcome.decoded = count - (decoder_->droppedSamples() - droppedBefore);
    decodedSamples_ += outcome.decoded;
    switch (afterChunk(state_, ChunkHeard{outcome.decoded, decoder_->inSpeech(), reportPartials}, options_.policy)) {
    case ChunkAction::Continue:
        break;
    case ChunkAction::ReadPartial:
        outcome.partial = partialText(state_, heardSoFar());
        break;
    case ChunkAction::CloseUtterance: {
        Transcript heard;
        const bool closed = closeUtterance(heard, session);
        outcome.secondPassSeconds = secondPassSeconds_;
        if (!closed) {
            outcome.failed = true;
            return outcome;
        }
        utteranceClosed(state_, heard);
        break;
    }
    }
    return outcome;
}

void RecognitionEngine::failLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<EngineSession>& session) {
    static const RecognitionError decodeFailure{"Speech recognition failed to decode the audio"};
    // Words of utterances that ended before the failure still reach the
    // host: a result and an error may come in one invocation, the result's
    // event first.
    std::optional<RecognitionResult> words;
    if (!state_.task.closed.empty()) words = finalResult(takeFinal(state_));
    postLocked(session, std::move(words), decodeFailure);
    // Lines the caller appends before it sees the error go to the next task.
    finishLocked(session, !session->audioEnded);
    lock.unlock();
    abandonUtterance();
    lock.lock();
}

void RecognitionEngine::deliverFinalLocked(std::unique_lock<std::mutex>& lock,
                                           const std::shared_ptr<EngineSession>& session, FinalAction action,
                                           bool outOfTime) {
    if (action == FinalAction::FinalClosingUtterance && state_.utterance.open) {
        // A finishing task skips the closing pass when it would not fit in
        // what is left of the budget, or when the budget already ran out
        // (the machine is slower than measured): the best path decoded so far
        // goes out at once, and the utterance ends after it.
        const bool thorough =
            !session->audioEnded ||
            (!outOfTime && secondsSince(session->audioEndedAt) + predictedClosingSeconds() <
                               options_.finishingBudgetSeconds);
        if (!thorough) {
            lock.unlock();
            const Transcript heard = heardSoFar();
            lock.lock();
            if (session->cancelled) return;
            state_.task.closed = joinTranscripts(state_.task.closed, heard);
            postLocked(session, finalResult(takeFinal(state_)), std::nullopt);
            finishLocked(session, false);
            lock.unlock();
            abandonUtterance();
            lock.lock();
            return;
        }
        lock.unlock();
        Transcript heard;
        const bool ok = closeUtterance(heard, *session);
        if (ok) utteranceClosed(state_, heard);
        lock.lock();
        // Nobody can have been waiting for a cancelled task's words.
        if (session->cancelled) return;
        if (!ok) {
            failLocked(lock, session);
            return;
        }
    }
    postLocked(session, finalResult(takeFinal(state_)), std::nullopt);
    finishLocked(session, !session->audioEnded);
}

void RecognitionEngine::run() {
    // Without the lock: callers start sessions, append and cancel meanwhile.
    decoder_ = loader_ ? loader_() : nullptr;
    loader_ = nullptr;
    std::unique_lock<std::mutex> lock(mutex_);
    loadFailed_ = decoder_ == nullptr;
    while (true) {
        work_.wait(lock, [&] { return stopping_ || hasWorkLocked(); });
        if (stopping_) return;
        const std::shared_ptr<EngineSession> session = sessions_.front();

        if (session->cancelled) {
            sessions_.pop_front();
            dropAudioLocked(*session);
            finalDue_ = false;
            lock.unlock();
            abandonUtterance();
            lock.lock();
            continue;
        }

        if (loadFailed_) {
            static const RecognitionError loadFailure{kModelLoadFailure};
            postLocked(session, std::nullopt, loadFailure);
            finishLocked(session, false);
            continue;
        }

        const bool outOfTime = outOfTimeLocked(*session);
        if (session->audio.empty() || outOfTime) {
            // The task's audio has ended and all of it is decoded, or the
            // time for it is up: what was decoded is the final.
            deliverFinalLocked(lock, session, atCatchUp(state_, CaughtUp{false, true}, options_.policy), outOfTime);
            continue;
        }

        QueuedLine& queued = session->audio.front();
        const std::shared_ptr<const PcmBuffer> buffer = queued.buffer;
        const std::size_t start = queued.offset;
        const std::size_t count = std::min(options_.chunkSamples, buffer->frameLength() - start);
        const std::uint64_t line = queued.line;
        const std::uint64_t streamSample = queued.streamStart + start;
        queued.offset += count;
        const bool lineDone = queued.offset >= buffer->frameLength();
        if (lineDone) session->audio.pop_front();
        queued_ -= count;
        space_.notify_all();
        const bool reportPartials = session->reportPartials;

        lock.unlock();
        const auto decodeStart = RunLoop::Clock::now();
        ChunkOutcome outcome =
            decodeChunk(buffer->int16ChannelData() + start, count, streamSample, reportPartials, *session);
        const double decodeSeconds = secondsSince(decodeStart) - outcome.secondPassSeconds;
        lock.lock();

        // Only decoded audio measures the decoder's speed: a chunk it left out
        // took no time, and counting it would let the host run far ahead.
        if (outcome.decoded > 0) {
            realTimeFactor_ =
                blend(realTimeFactor_, decodeSeconds / (static_cast<double>(outcome.decoded) / kSampleRate));
        }
        if (session->cancelled) continue;
        if (outcome.failed) {
            failLocked(lock, session);
            continue;
        }
        if (!outcome.partial.empty()) {
            postLocked(session, RecognitionResult{false, outcome.partial.text, std::move(outcome.partial.words)},
                       std::nullopt);
        }
        finalDue_ = finalDue(state_, options_.policy);
        if (lineDone && session->audio.empty() && !session->audioEnded) {
            const bool callerWaiting = held_.session == session.get() && held_.line == line;
            const FinalAction action = atCatchUp(state_, CaughtUp{callerWaiting, false}, options_.policy);
            if (action != FinalAction::None) deliverFinalLocked(lock, session, action, false);
        }
        if (lineDone) session->linesDecided = std::max(session->linesDecided, line);
        space_.notify_all();
    }
}

} // namespace olvek::pocketsphinx
