// Where the words of a second pass over an utterance lie in the stream.
//
// The second pass decodes the utterance's audio in one piece, and its
// voice-activity detection leaves out other frames than the live pass did
// (the quiet before the speech, mostly), so its frame numbers cannot be
// placed the way the live pass's are. The live pass's words are placed; the
// two passes mostly agree, so the words both passes heard, matched in order,
// anchor the second pass's frames to the stream, as does the utterance's
// end, and a word only the second pass heard lies between its anchors in
// proportion to its frames.
//
// Pure functions over plain data.
#pragma once

#include <vector>

#include "recognition/pocketsphinx/utterance_decoder.h"
#include "recognition/speech_platform.h"

namespace olvek::pocketsphinx {

// Where the utterance's searched audio ends: the second pass searched
// `frames` frames in all, and the last of the live pass's frames ends at
// `seconds` in the stream. Both passes search the utterance to its end.
struct UtteranceEnd {
    int frames = 0;
    double seconds = 0;
};

// Returns the second pass's `again` words as segments of the stream, in
// order and not overlapping, each with its own confidence. A word both
// passes heard (matched in order, by text, where the live word lies within
// 0.3 s of where the second pass's frames counted back from `end` put it)
// takes the live pass's place from `live`; the others are placed by the second pass's frames between their
// matched neighbours and the utterance's `end`, 10 ms a frame before the
// first anchor.
std::vector<TranscriptionSegment> placeSecondPass(const std::vector<DecodedWord>& again,
                                                  const std::vector<TranscriptionSegment>& live,
                                                  UtteranceEnd end);

} // namespace olvek::pocketsphinx
