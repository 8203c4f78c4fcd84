// thunder_worker.h -- strikes' thunder synthesised on a thread of its own and handed to their voices
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sound/thunder_synthesis.h"

// One strike's thunder to make, for the voice start that `generation` names.
struct ThunderJob {
    ThunderVoice* voice = nullptr;
    uint32_t generation = 0;
    std::vector<ThunderSegment> channel;  // metres
    Vec3 listener;                        // metres
    std::vector<ThunderStroke> strokes{ThunderStroke{}};
    ThunderParams params;
};

// Makes the buffer of a job; tests put a deliberately slow one in its place.
using ThunderSynthesiser = SynthesisedThunder (*)(const ThunderJob& job);

// A buffer the worker made: pointed at by its voice, or retired and waiting until every mix
// that may still read it has finished (its voice's synth_mixes has moved on from `mixes`).
struct OwnedThunder {
    std::unique_ptr<SynthesisedThunder> buffer;
    ThunderVoice* voice = nullptr;
    bool retired = false;
    uint32_t mixes = 0;
};

// The queue of jobs and the thread that works through it. The window thread submits; the
// sound tick never touches any of this, it only reads what a voice points at.
struct ThunderWorker {
    std::mutex mutex;
    std::condition_variable wake;  // a job came, or the worker is to stop
    std::condition_variable idle;  // the queue ran empty
    std::deque<ThunderJob> jobs;
    bool busy = false;
    bool stopping = false;
    std::thread thread;
    ThunderSynthesiser synthesise = nullptr;  // nullptr: synthesise_thunder
    std::vector<OwnedThunder> owned;          // the worker thread's alone while it runs
    ThunderWorker() = default;
    ThunderWorker(const ThunderWorker&) = delete;
    ThunderWorker& operator=(const ThunderWorker&) = delete;
    // A thread still running at destruction would end the process.
    ~ThunderWorker();
};

// The viewer's one worker.
extern ThunderWorker thunder_worker;

// Queues a job, starting the thread at the first one.
void submit_thunder(ThunderWorker& worker, ThunderJob job);
// Waits until every job submitted so far has been handed to its voice (or dropped because a
// newer strike took the voice). Frame-clocked runs call it so that a movie's sound never
// depends on how fast the frames were drawn.
void wait_for_thunder(ThunderWorker& worker);
// Bytes of the thunder buffers the worker holds: those its voices play and those retired but not yet
// freed. They come and go with the strikes' distances and lengths, so a heap count subtracts them.
int64_t thunder_bytes_held(ThunderWorker& worker);
// Ends the thread after its current job, drops the rest, and frees every buffer after taking
// it from its voice. Nothing may mix the voices concurrently. Harmless when not started.
void stop_thunder_worker(ThunderWorker& worker);
