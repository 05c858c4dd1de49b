#include "recognition_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/utf8.h"

namespace olvek::pocketsphinx {

namespace {

std::string joinText(const std::string& first, const std::string& second) {
    if (first.empty()) return second;
    if (second.empty()) return first;
    return first + " " + second;
}

using QueuedAudio = std::deque<std::pair<std::shared_ptr<const PcmBuffer>, std::size_t>>;

std::size_t remainingSamples(const QueuedAudio& audio) {
    std::size_t total = 0;
    for (const auto& [buffer, offset] : audio) total += buffer->frameLength() - offset;
    return total;
}

} // namespace

class EngineSession {
public:
    // All guarded by the engine's mutex, except `cancelled`, which posted
    // invocations also read on the main thread.
    QueuedAudio audio; // buffers with the offset decoding has reached
    ResultHandler handler;
    bool started = false;
    bool reportPartials = true;
    bool audioEnded = false;
    RunLoop::Clock::time_point audioEndedAt;
    bool done = false;
    std::atomic<bool> cancelled{false};
};

struct RecognitionEngine::Step {
    bool failed = false;
    std::optional<std::string> partial;
    bool utteranceEnded = false;
    std::string utteranceText;
};

RecognitionEngine::RecognitionEngine(std::unique_ptr<UtteranceDecoder> decoder, RunLoop& loop, EngineOptions options)
    : decoder_(std::move(decoder)), loop_(loop), options_(options),
      finishingBudget_(std::chrono::duration_cast<RunLoop::Clock::duration>(
          std::chrono::duration<double>(options.finishingBudgetSeconds))) {
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
        if (!carry_.empty()) {
            session->audio.insert(session->audio.begin(), carry_.begin(), carry_.end());
            carry_.clear();
        }
        carryOwner_.reset();
        sessions_.push_back(session);
    }
    work_.notify_one();
}

void RecognitionEngine::append(const std::shared_ptr<EngineSession>& session, std::shared_ptr<const PcmBuffer> buffer) {
    if (!buffer || buffer->frameLength() == 0) return;
    const std::size_t length = buffer->frameLength();
    std::unique_lock<std::mutex> lock(mutex_);
    if (session->started && !session->done) {
        // Only the task being decoded waits: the engine drains exactly that one.
        space_.wait(lock, [&] {
            return stopping_ || session->cancelled || session->done || sessions_.empty() ||
                   sessions_.front() != session || queued_ == 0 || queued_ + length <= options_.maxQueuedSamples;
        });
    }
    if (stopping_ || session->cancelled) return;
    if (session->done) {
        // The caller has not seen the final yet; the next task takes this.
        if (carryOwner_ == session) {
            carry_.emplace_back(std::move(buffer), 0);
            queued_ += length;
        }
        return;
    }
    session->audio.emplace_back(std::move(buffer), 0);
    queued_ += length;
    lock.unlock();
    work_.notify_one();
}

void RecognitionEngine::endAudio(const std::shared_ptr<EngineSession>& session) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (session->done) {
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
        // A finished task keeps its rest for the next one: cancelling a task
        // that already gave its final is how a caller moves on.
        if (!session->done) {
            dropAudioLocked(*session);
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

bool RecognitionEngine::hasWorkLocked() const {
    if (sessions_.empty()) return false;
    const auto& front = *sessions_.front();
    return front.cancelled || !front.audio.empty() || front.audioEnded;
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
        queued_ -= remainingSamples(carry_);
        carry_ = std::move(session->audio);
        session->audio.clear();
        carryOwner_ = session;
    } else {
        dropAudioLocked(*session);
    }
    space_.notify_all();
}

void RecognitionEngine::postLocked(const std::shared_ptr<EngineSession>& session,
                                   std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
    if (stopping_ || session->cancelled) return;
    if (result) result->bestTranscription = repairUtf8(result->bestTranscription);
    // Posting under the lock is what makes `cancel` final: once it holds the
    // lock and sets the flag, nothing more is posted, and what was posted
    // earlier checks the flag on the main thread before it runs.
    loop_.post([session, result = std::move(result), error = std::move(error)] {
        if (session->cancelled) return;
        session->handler(result, error);
    });
}

void RecognitionEngine::closeUtterance() {
    if (utteranceOpen_) decoder_->endUtterance();
    utteranceOpen_ = false;
}

void RecognitionEngine::resetTaskState() {
    speechSeen_ = false;
    speechSamples_ = 0;
    taskSamples_ = 0;
    holding_ = false;
    samplesSincePartial_ = 0;
    committedText_.clear();
    lastPartial_.clear();
}

RecognitionEngine::Step RecognitionEngine::decodeChunk(const std::int16_t* samples, std::size_t count,
                                                       bool reportPartials) {
    Step step;
    if (!utteranceOpen_) {
        if (!decoder_->startUtterance()) {
            step.failed = true;
            return step;
        }
        utteranceOpen_ = true;
        speechSeen_ = false;
        speechSamples_ = 0;
        samplesSincePartial_ = 0;
    }
    if (!decoder_->process(samples, count)) {
        step.failed = true;
        return step;
    }
    const bool speaking = decoder_->inSpeech();
    if (speaking) {
        speechSeen_ = true;
        speechSamples_ += count;
    }
    if (speechSeen_ && (!speaking || speechSamples_ >= options_.maxUtteranceSamples)) {
        utteranceOpen_ = false;
        if (!decoder_->endUtterance()) {
            step.failed = true;
            return step;
        }
        step.utteranceEnded = true;
        step.utteranceText = decoder_->hypothesis();
        return step;
    }
    if (speaking && reportPartials) {
        samplesSincePartial_ += count;
        if (samplesSincePartial_ >= options_.partialIntervalSamples) {
            samplesSincePartial_ = 0;
            std::string text = joinText(committedText_, decoder_->hypothesis());
            if (!text.empty() && text != lastPartial_) {
                lastPartial_ = text;
                step.partial = std::move(text);
            }
        }
    }
    return step;
}

void RecognitionEngine::run() {
    static const RecognitionError decodeFailure{"Speech recognition failed to decode the audio"};
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        work_.wait(lock, [&] { return stopping_ || hasWorkLocked(); });
        if (stopping_) return;
        const std::shared_ptr<EngineSession> session = sessions_.front();

        if (session->cancelled) {
            sessions_.pop_front();
            dropAudioLocked(*session);
            lock.unlock();
            closeUtterance();
            resetTaskState();
            lock.lock();
            continue;
        }

        const bool outOfTime =
            session->audioEnded && RunLoop::Clock::now() - session->audioEndedAt >= finishingBudget_;
        if (!session->audio.empty() && !outOfTime) {
            auto& [buffer, offset] = session->audio.front();
            const std::shared_ptr<const PcmBuffer> chunkBuffer = buffer;
            const std::size_t start = offset;
            const std::size_t count = std::min<std::size_t>(options_.chunkSamples, buffer->frameLength() - start);
            offset += count;
            if (offset >= buffer->frameLength()) session->audio.pop_front();
            queued_ -= count;
            space_.notify_all();
            const bool reportPartials = session->reportPartials;
            lock.unlock();
            Step step = decodeChunk(chunkBuffer->int16ChannelData() + start, count, reportPartials);
            lock.lock();
            if (session->cancelled) continue;
            if (step.failed) {
                postLocked(session, std::nullopt, decodeFailure);
                finishLocked(session, false);
                lock.unlock();
                closeUtterance();
                resetTaskState();
                lock.lock();
                continue;
            }
            if (step.partial) postLocked(session, RecognitionResult{false, *step.partial}, std::nullopt);
            taskSamples_ += count;
            if (step.utteranceEnded && !step.utteranceText.empty()) {
                const bool moreWaiting = !session->audio.empty() && taskSamples_ < options_.maxHeldSamples;
                if (session->audioEnded || moreWaiting) {
                    committedText_ = joinText(committedText_, step.utteranceText);
                    holding_ = !session->audioEnded;
                } else {
                    postLocked(session, RecognitionResult{true, joinText(committedText_, step.utteranceText)},
                               std::nullopt);
                    finishLocked(session, true);
                    resetTaskState();
                    continue;
                }
            }
            if (holding_ && session->audio.empty() && !session->audioEnded && (!utteranceOpen_ || !speechSeen_)) {
                // Caught up after a kept pause with no new words begun: what
                // was kept is the final.
                lock.unlock();
                closeUtterance();
                lock.lock();
                if (session->cancelled) continue;
                postLocked(session, RecognitionResult{true, committedText_}, std::nullopt);
                finishLocked(session, true);
                resetTaskState();
            }
            continue;
        }

        // The task's audio has ended and all of it is decoded, or the time
        // for it is up.
        lock.unlock();
        std::string text = committedText_;
        bool ok = true;
        if (utteranceOpen_) {
            utteranceOpen_ = false;
            ok = decoder_->endUtterance();
            if (ok) text = joinText(text, decoder_->hypothesis());
        }
        resetTaskState();
        lock.lock();
        if (session->cancelled) continue;
        if (ok) {
            postLocked(session, RecognitionResult{true, text}, std::nullopt);
        } else {
            postLocked(session, std::nullopt, decodeFailure);
        }
        finishLocked(session, false);
    }
}

} // namespace olvek::pocketsphinx
