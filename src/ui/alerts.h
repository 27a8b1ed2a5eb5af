// The audible alerts at the end of a compare (two tones) and of a transfer
// (three tones). The tones are played through the console's tone generator
// where the program may use it; otherwise one plain beep sounds.
#pragma once

#include <utility>
#include <vector>

namespace twinbay::alerts {

using Tone = std::pair<int, int>;  // frequency in Hz, length in ms

std::vector<Tone> CompareTones();   // 1000 Hz 100 ms, then 500 Hz 250 ms
std::vector<Tone> TransferTones();  // three times 1000 Hz 100 ms
// Starts the tones one after the other without blocking the window.
void Play(const std::vector<Tone>& tones);

}  // namespace twinbay::alerts
