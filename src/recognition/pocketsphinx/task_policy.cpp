#include "task_policy.h"

#include <utility>

namespace olvek::pocketsphinx {

std::string joinText(const std::string& first, const std::string& second) {
    if (first.empty()) return second;
    if (second.empty()) return first;
    return first + " " + second;
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

std::string partialText(TaskState& state, const std::string& hypothesis) {
    std::string text = joinText(state.task.closedText, hypothesis);
    if (text.empty() || text == state.task.lastPartial) return {};
    state.task.lastPartial = text;
    return text;
}

void utteranceOpened(TaskState& state) {
    state.utterance = UtteranceState{};
    state.utterance.open = true;
    state.task.samplesSincePartial = 0;
}

void utteranceClosed(TaskState& state, const std::string& text) {
    state.utterance = UtteranceState{};
    state.task.closedText = joinText(state.task.closedText, text);
}

bool finalDue(const TaskState& state, const TaskPolicyOptions& options) {
    const UtteranceState& utterance = state.utterance;
    const bool pauseAfterWords = !state.task.closedText.empty() && !utterance.heardSpeech;
    const bool overlong = utterance.heardSpeech && utterance.speechSamples >= options.maxUtteranceSamples;
    return pauseAfterWords || overlong;
}

FinalAction atCatchUp(const TaskState& state, const CaughtUp& where, const TaskPolicyOptions& options) {
    if (where.audioEnded) return FinalAction::FinalClosingUtterance;
    if (!where.callerWaiting || !finalDue(state, options)) return FinalAction::None;
    // A quiet utterance holds no words of this task: it may run on.
    return state.utterance.heardSpeech ? FinalAction::FinalClosingUtterance : FinalAction::FinalKeepingUtterance;
}

std::string takeFinalText(TaskState& state) {
    std::string text = std::move(state.task.closedText);
    state.task = TaskProgress{};
    return text;
}

} // namespace olvek::pocketsphinx
