#include "task_policy.h"

#include <utility>

namespace olvek::pocketsphinx {

std::string joinText(const std::string& first, const std::string& second) {
    if (first.empty()) return second;
    if (second.empty()) return first;
    return first + " " + second;
}

Transcript joinTranscripts(const Transcript& first, const Transcript& second) {
    Transcript joined;
    joined.text = joinText(first.text, second.text);
    const bool placed = (first.empty() || !first.words.empty()) && (second.empty() || !second.words.empty());
    if (placed) {
        joined.words = first.words;
        joined.words.insert(joined.words.end(), second.words.begin(), second.words.end());
    }
    return joined;
}

ChunkAction afterChunk(TaskState& state, const ChunkHeard& heard, const TaskPolicyOptions& options) {
    UtteranceState& utterance = state.utterance;
    utterance.samples += heard.samples;
    if (heard.inSpeech) {
        utterance.heardSpeech = true;
        utterance.speechSamples += heard.samples;
    }
    if (utterance.heardSpeech && !heard.inSpeech) return ChunkAction::CloseUtterance;
    if (!heard.inSpeech || !heard.reportPartials) return ChunkAction::Continue;
    state.task.samplesSincePartial += heard.samples;
    if (state.task.samplesSincePartial < options.partialIntervalSamples) return ChunkAction::Continue;
    state.task.samplesSincePartial = 0;
    return ChunkAction::ReadPartial;
}

Transcript partialText(TaskState& state, const Transcript& hypothesis) {
    Transcript partial = joinTranscripts(state.task.closed, hypothesis);
    if (partial.empty() || partial.text == state.task.lastPartial) return {};
    state.task.lastPartial = partial.text;
    return partial;
}

void utteranceOpened(TaskState& state) {
    state.utterance = UtteranceState{};
    state.utterance.open = true;
    state.task.samplesSincePartial = 0;
}

void utteranceClosed(TaskState& state, const Transcript& heard) {
    state.utterance = UtteranceState{};
    state.task.closed = joinTranscripts(state.task.closed, heard);
}

bool finalDue(const TaskState& state, const TaskPolicyOptions& options) {
    const UtteranceState& utterance = state.utterance;
    const bool pauseAfterWords = !state.task.closed.empty() && !utterance.heardSpeech;
    const bool overlong = utterance.heardSpeech && utterance.speechSamples >= options.maxUtteranceSamples;
    return pauseAfterWords || overlong;
}

FinalAction atCatchUp(const TaskState& state, const CaughtUp& where, const TaskPolicyOptions& options) {
    if (where.audioEnded) return FinalAction::FinalClosingUtterance;
    if (!where.callerWaiting || !finalDue(state, options)) return FinalAction::None;
    // A quiet utterance holds no words of this task: it may run on.
    return state.utterance.heardSpeech ? FinalAction::FinalClosingUtterance : FinalAction::FinalKeepingUtterance;
}

Transcript takeFinal(TaskState& state) {
    Transcript final = std::move(state.task.closed);
    state.task = TaskProgress{};
    return final;
}

} // namespace olvek::pocketsphinx
