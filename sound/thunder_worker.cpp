// thunder_worker.cpp -- strikes' thunder synthesised on a thread of its own and handed to their voices
#include "sound/thunder_worker.h"

#include <algorithm>
#include <cstdlib>

ThunderWorker thunder_worker;

namespace {

SynthesisedThunder synthesise_job(const ThunderJob& job) {
    return synthesise_thunder(job.channel, job.listener, job.params, job.strokes);
}

// Points the voice at the new buffer and retires the one it pointed at before.
void publish(ThunderWorker& w, ThunderVoice& voice, std::unique_ptr<SynthesisedThunder> buffer) {
    const SynthesisedThunder* old = voice.synth.exchange(buffer.get());
    // Read after the exchange: a mix that still holds `old` finishes by counting one more.
    const uint32_t mixes = voice.synth_mixes.load();
    for (OwnedThunder& o : w.owned) {
        if (o.buffer.get() == old && !o.retired) {
            o.retired = true;
            o.mixes = mixes;
        }
    }
    w.owned.push_back(OwnedThunder{std::move(buffer), &voice, false, 0});
}

void free_finished(ThunderWorker& w) {
    w.owned.erase(std::remove_if(w.owned.begin(), w.owned.end(),
                                 [](const OwnedThunder& o) {
                                     return o.retired && o.voice->synth_mixes.load() != o.mixes;
                                 }),
                  w.owned.end());
}

void run(ThunderWorker* worker) {
    ThunderWorker& w = *worker;
    std::unique_lock<std::mutex> lock(w.mutex);
    for (;;) {
        w.wake.wait(lock, [&] { return w.stopping || !w.jobs.empty(); });
        if (w.stopping) break;
        ThunderJob job = std::move(w.jobs.front());
        w.jobs.pop_front();
        w.busy = true;
        lock.unlock();
        // A job whose voice a newer strike has taken is not worth making.
        if (job.voice && job.voice->synth_generation.load() == job.generation) {
            auto buffer =
                std::make_unique<SynthesisedThunder>((w.synthesise ? w.synthesise : synthesise_job)(job));
            buffer->generation = job.generation;
            if (job.voice->synth_generation.load() == job.generation)
                publish(w, *job.voice, std::move(buffer));
        }
        free_finished(w);
        lock.lock();
        w.busy = false;
        if (w.jobs.empty()) w.idle.notify_all();
    }
}

// The viewer exits from its callbacks; the thread must be joined before the voices it writes go.
void stop_viewer_worker_at_exit() { stop_thunder_worker(thunder_worker); }

}  // namespace

ThunderWorker::~ThunderWorker() { stop_thunder_worker(*this); }

void submit_thunder(ThunderWorker& w, ThunderJob job) {
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.jobs.push_back(std::move(job));
        if (!w.thread.joinable()) {
            w.stopping = false;
            w.thread = std::thread(run, &w);
            static bool exit_hook = false;
            if (&w == &thunder_worker && !exit_hook) {
                std::atexit(stop_viewer_worker_at_exit);
                exit_hook = true;
            }
        }
    }
    w.wake.notify_one();
}

void wait_for_thunder(ThunderWorker& w) {
    std::unique_lock<std::mutex> lock(w.mutex);
    if (!w.thread.joinable()) return;
    w.idle.wait(lock, [&] { return w.jobs.empty() && !w.busy; });
}

int64_t thunder_bytes_held(ThunderWorker& w) {
    std::lock_guard<std::mutex> lock(w.mutex);
    // Between jobs the worker thread leaves `owned` alone, and it is between jobs once the lock is held
    // with nothing busy; callers wait for the worker first.
    if (w.busy) return -1;
    int64_t bytes = 0;
    for (const OwnedThunder& o : w.owned)
        bytes += static_cast<int64_t>(sizeof(SynthesisedThunder) + o.buffer->samples.capacity() * sizeof(float));
    return bytes;
}

void stop_thunder_worker(ThunderWorker& w) {
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.stopping = true;
    }
    w.wake.notify_all();
    if (w.thread.joinable()) w.thread.join();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.jobs.clear();
    for (OwnedThunder& o : w.owned) {
        const SynthesisedThunder* mine = o.buffer.get();
        if (!o.retired) o.voice->synth.compare_exchange_strong(mine, nullptr);
    }
    w.owned.clear();
    w.stopping = false;
    w.busy = false;
}
