// When a recognition task gives a partial, when it gives its final, and what
// runs on into the next task. Pure decisions over plain data: no threads, no
// clock, no decoder. The engine thread feeds it what the decoder heard and
// where the audio stands, and does what it says.
//
// Rules:
// - A partial at most once per `partialIntervalSamples` of audio decoded in
//   speech, the task's whole text so far, only when it changed.
// - A pause (voice activity ends after speech) closes the decoder's
//   utterance; its words join the task's text. An utterance without words
//   leaves nothing behind.
// - The final is due once the task has words and no speech has begun since
//   the last pause, or once one utterance has held speech for
//   `maxUtteranceSamples` without a pause.
// - A due final is given only where nothing can be lost: every sample
//   appended to the task is decoded, and the caller is still inside the
//   append of the last line, so it delivers the final before it can give
//   the ended task any more audio. A pause final keeps the quiet utterance
//   open: it runs on into the next task, so the decoder's voice-activity
//   state sees no seam. A cut closes the utterance first.
// - At the end of the task's audio the final comes with everything (also
//   when empty), once all is decoded or the time for it is up.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "recognition/speech_platform.h"

namespace olvek::pocketsphinx {

struct TaskPolicyOptions {
    // 100 ms at 16 kHz.
    std::size_t partialIntervalSamples = 1600;
    // 15 s: longer than nearly every spoken sentence, so the cut is rare, yet
    // it keeps a final within a breath of the speaker and the decoder's
    // per-utterance lattice small.
    std::size_t maxUtteranceSamples = 15 * 16000;
};

// Text and, where the decoder placed them, its words with their times
// (`TranscriptionSegment`, in seconds of the recognizer's stream). The words
// spell the text, or there are none.
struct Transcript {
    std::string text;
    std::vector<TranscriptionSegment> words;
    bool empty() const { return text.empty(); }
};

// The decoder's open utterance. It belongs to the decoder, not to a task: a
// quiet one runs on from one task into the next.
struct UtteranceState {
    bool open = false;
    bool heardSpeech = false;
    // Samples decoded in speech, and in all.
    std::size_t speechSamples = 0;
    std::size_t samples = 0;
};

// The task being decoded.
struct TaskProgress {
    // Words of the utterances that ended in this task, in order.
    Transcript closed;
    std::string lastPartial;
    std::size_t samplesSincePartial = 0;
};

struct TaskState {
    UtteranceState utterance;
    TaskProgress task;
};

// What the decoder reported after one chunk of audio.
struct ChunkHeard {
    std::size_t samples = 0;
    bool inSpeech = false;
    bool reportPartials = true;
};

enum class ChunkAction {
    Continue,
    // Read the open utterance's hypothesis and offer it to `partialText`.
    ReadPartial,
    // A pause: close the utterance and hand its text to `utteranceClosed`.
    CloseUtterance,
};

// Where the audio stands when the engine has decoded everything appended so
// far, or the time for it is up.
struct CaughtUp {
    // The caller is inside the append of the line just decoded.
    bool callerWaiting = false;
    // No more audio comes to this task.
    bool audioEnded = false;
};

enum class FinalAction {
    // No final yet.
    None,
    // The final is `finalText`; the open utterance runs on into the next task.
    FinalKeepingUtterance,
    // Close the open utterance (if any), hand its text to `utteranceClosed`,
    // then the final is `finalText`.
    FinalClosingUtterance,
};

// Records the chunk in `state` and says what to do next.
ChunkAction afterChunk(TaskState& state, const ChunkHeard& heard, const TaskPolicyOptions& options);

// The whole partial to send, given the open utterance's hypothesis; empty
// when nothing should be sent (no words, or the same text as last time).
Transcript partialText(TaskState& state, const Transcript& hypothesis);

// The decoder began an utterance.
void utteranceOpened(TaskState& state);
// The open utterance closed with `text`: it joins the task's text.
void utteranceClosed(TaskState& state, const Transcript& heard);

// Whether a final waits only for a safe point (see the rules above).
bool finalDue(const TaskState& state, const TaskPolicyOptions& options);

FinalAction atCatchUp(const TaskState& state, const CaughtUp& where, const TaskPolicyOptions& options);

// The final's words. Starts the next task's progress afresh.
Transcript takeFinal(TaskState& state);

// Joins two texts with one blank; either may be empty.
std::string joinText(const std::string& first, const std::string& second);
// Joins two transcripts, text and words. When either has text without
// words, the result has none: words that do not spell the text are worse
// than no words.
Transcript joinTranscripts(const Transcript& first, const Transcript& second);

} // namespace olvek::pocketsphinx
