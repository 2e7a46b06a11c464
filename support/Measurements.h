#pragma once
// Counters the product keeps only for the benchmarks (bench/): where the time of a
// calibration goes besides the wire. Nothing in the product reads them. The time
// counters are per thread (the thread that paused or read); the quiet-round counter
// is for the whole process.

#include <cstdint>

// Time the calling thread has spent in Pause.
int64_t PausedMicros();
void CountPausedMicros(int64_t micros);

// Time the calling thread has spent sitting out serial read time-outs: whole reads
// that ended with nothing received, and the closing gap of reads that ended on their
// interval time-out. The waits a protocol prescribes.
int64_t IdleReadMicros();
void CountIdleReadMicros(int64_t micros);

// Driver rounds (of about 10 ms) in which a handed-over frame waited for the line to
// become quiet, in all BX2 drivers of the process.
int64_t QuietRoundsWithFrameWaiting();
void CountQuietRoundWithFrameWaiting();
