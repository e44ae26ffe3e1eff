// The loop that plays tune tables. Thread: the player's only thread.
#include "player/tune_steps.h"

#include "player/interruption.h"
#include "player/system_calls.h"

void PlayPhrase(Phrase phrase) {
    for (const TuneStep& step : phrase) {
        if (Interrupted()) return;  // a phrase may last seconds
        switch (step.kind) {
            case StepKind::WaitedNote: PlayNote(step.first, true); break;
            case StepKind::TwoVoices: PlayTwoVoices(step.first, step.second); break;
            case StepKind::LoneRest: Rest(step.restSeconds); break;
            case StepKind::UnwaitedNote: PlayNote(step.first, false); break;
        }
    }
}

bool PlayPhrasesUntilKey(std::span<const Phrase> phrases) {
    for (Phrase phrase : phrases) {
        PlayPhrase(phrase);
        if (KeyWaiting()) return true;
    }
    return false;
}
