// audio_service.cpp -- the waveform output service: a thread per stream plays queued buffers in order
#include "sound/audio_service.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kAlsaLatencyUs = 50000;  // ALSA's own ring: short, our buffers do the queueing
// The stream is non-blocking: a full ring is waited on in slices, so that a reset or a close
// is noticed, and a card that takes nothing for the stall limit loses the rest of the buffer.
constexpr int kAlsaWaitSliceMs = 20;
constexpr Clock::duration kAlsaStallLimit = std::chrono::milliseconds(500);
constexpr uint32_t kWavHeaderBytes = 44;
constexpr uint32_t kWavMaxData = 0xFFFFFFFFu - 36;  // the RIFF size must still fit 32 bits

enum class OutputKind { Alsa, Null, Wav };

struct ServiceStream {
    OutputKind kind = OutputKind::Null;
    AudioStreamFormat format;
    AudioNotify notify = nullptr;
    void* context = nullptr;
    snd_pcm_t* pcm = nullptr;
    FILE* wav = nullptr;
    uint32_t wav_data_bytes = 0;

    std::mutex mutex;
    std::condition_variable wake;  // new buffer, reset or close
    std::condition_variable idle;  // the playing buffer has been reported done
    std::deque<AudioBufferHeader*> queue;
    AudioBufferHeader* playing = nullptr;
    bool closing = false;
    uint64_t reset_count = 0;      // a change cuts short the buffer being paced
    Clock::time_point clock_next;  // when the last scheduled buffer ends playing
    std::thread thread;
};

ServiceStream* as_stream(AudioStreamId id) { return static_cast<ServiceStream*>(id); }

// ALSA prints its own diagnostics ("ALSA lib ...", several lines for a machine without a
// card) before the caller can say anything; the layer reports failures itself.
void ignore_alsa_error(const char*, int, const char*, int, const char*, ...) {}

void silence_alsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(ignore_alsa_error); });
}

void put_le(uint8_t* out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The canonical 44-byte header for data_bytes of PCM in format.
void make_wav_header(uint8_t (&h)[kWavHeaderBytes], const AudioStreamFormat& f, uint32_t data_bytes) {
    std::memcpy(h, "RIFF", 4);
    put_le(h + 4, 36 + data_bytes, 4);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put_le(h + 16, 16, 4);
    put_le(h + 20, 1, 2);
    put_le(h + 22, f.channels, 2);
    put_le(h + 24, f.samples_per_sec, 4);
    put_le(h + 28, f.avg_bytes_per_sec, 4);
    put_le(h + 32, f.block_align, 2);
    put_le(h + 34, f.bits_per_sample, 2);
    std::memcpy(h + 36, "data", 4);
    put_le(h + 40, data_bytes, 4);
}

// Rewrites the header so the file is complete after every buffer, even when the process
// ends without closing the stream.
void append_wav(ServiceStream& s, const AudioBufferHeader& h) {
    uint32_t room = kWavMaxData - s.wav_data_bytes;
    uint32_t bytes = std::min(h.buffer_length, room);
    if (bytes == 0) return;
    std::fseek(s.wav, 0, SEEK_END);
    if (std::fwrite(h.data, 1, bytes, s.wav) != bytes) return;
    s.wav_data_bytes += bytes;
    uint8_t header[kWavHeaderBytes];
    make_wav_header(header, s.format, s.wav_data_bytes);
    std::fseek(s.wav, 0, SEEK_SET);
    std::fwrite(header, 1, sizeof header, s.wav);
    std::fseek(s.wav, 0, SEEK_END);
    std::fflush(s.wav);
}

// True once a reset or a close has come since the buffer being played was taken.
bool cut_short(ServiceStream& s, uint64_t reset_seen) {
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.closing || s.reset_count != reset_seen;
}

// Hands a buffer to ALSA, waiting while ALSA's ring is full, which paces the stream. Stops
// early for a reset or a close, or when the card has taken nothing for the stall limit.
void play_alsa(ServiceStream& s, const AudioBufferHeader& h, uint64_t reset_seen) {
    const uint8_t* data = h.data;
    snd_pcm_sframes_t frames_left = h.buffer_length / s.format.block_align;
    Clock::time_point progress = Clock::now();
    while (frames_left > 0) {
        if (cut_short(s, reset_seen)) return;
        snd_pcm_sframes_t written = snd_pcm_writei(s.pcm, data, static_cast<snd_pcm_uframes_t>(frames_left));
        if (written == -EAGAIN || written == 0) {
            if (Clock::now() - progress > kAlsaStallLimit) return;
            snd_pcm_wait(s.pcm, kAlsaWaitSliceMs);
            continue;
        }
        if (written < 0) {
            // An underrun or a suspend; when ALSA cannot recover the rest is dropped, and
            // the buffer is still reported done so that writers never wait forever.
            if (snd_pcm_recover(s.pcm, static_cast<int>(written), 1) < 0) return;
            continue;
        }
        frames_left -= written;
        data += written * s.format.block_align;
        progress = Clock::now();
    }
}

// Lets ALSA play out its short ring before the close, for at most the stall limit.
void drain_alsa(snd_pcm_t* pcm) {
    if (snd_pcm_drain(pcm) != -EAGAIN) return;
    const Clock::time_point give_up = Clock::now() + kAlsaStallLimit;
    while (snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING && Clock::now() < give_up)
        snd_pcm_wait(pcm, kAlsaWaitSliceMs);
}

Clock::duration buffer_duration(const AudioStreamFormat& f, uint32_t bytes) {
    // From the rate and frame size rather than the caller's byte rate, which may be inconsistent.
    double bytes_per_second = static_cast<double>(f.samples_per_sec) * f.block_align;
    double seconds = static_cast<double>(bytes) / bytes_per_second;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void service_loop(ServiceStream* s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    for (;;) {
        s->wake.wait(lock, [s] { return s->closing || !s->queue.empty(); });
        if (s->closing) return;
        AudioBufferHeader* h = s->queue.front();
        s->queue.pop_front();
        s->playing = h;
        uint64_t reset_seen = s->reset_count;
        lock.unlock();

        if (s->kind == OutputKind::Alsa) {
            play_alsa(*s, *h, reset_seen);
        } else if (s->kind == OutputKind::Wav) {
            append_wav(*s, *h);
        }

        lock.lock();
        if (s->kind != OutputKind::Alsa) {
            // Without a card the stream keeps its own clock: a buffer is done when a card
            // would have finished playing it, so writers are paced as they would be.
            Clock::time_point start = std::max(Clock::now(), s->clock_next);
            Clock::time_point end = start + buffer_duration(s->format, h->buffer_length);
            bool cut = s->wake.wait_until(
                lock, end, [s, reset_seen] { return s->closing || s->reset_count != reset_seen; });
            s->clock_next = cut ? Clock::now() : end;
        }
        h->flags = (h->flags & ~kAudioHeaderInQueue) | kAudioHeaderDone;
        lock.unlock();
        s->notify(s, kAudioMessageDone, s->context, h);
        lock.lock();
        s->playing = nullptr;
        s->idle.notify_all();
    }
}

// Removes every queued header, marks it done and waits for the playing one to be reported.
std::vector<AudioBufferHeader*> take_queue(ServiceStream& s, std::unique_lock<std::mutex>& lock) {
    std::vector<AudioBufferHeader*> taken(s.queue.begin(), s.queue.end());
    s.queue.clear();
    for (AudioBufferHeader* h : taken) h->flags = (h->flags & ~kAudioHeaderInQueue) | kAudioHeaderDone;
    ++s.reset_count;
    s.wake.notify_all();
    s.idle.wait(lock, [&s] { return s.playing == nullptr; });
    return taken;
}

int open_stream(AudioStreamId* out, const char* target, const AudioStreamFormat& format, AudioNotify notify,
                void* context) {
    if (!out || !notify) return kAudioErrorInvalid;
    if (format.channels < 1 || format.samples_per_sec < 1 || format.block_align < 1 ||
        (format.bits_per_sample != 8 && format.bits_per_sample != 16)) {
        return kAudioErrorInvalid;
    }
    std::string name = target && target[0] ? target : "default";
    auto* s = new ServiceStream;
    s->format = format;
    s->notify = notify;
    s->context = context;
    if (name == "null") {
        s->kind = OutputKind::Null;
    } else if (is_wav_target(name.c_str())) {
        s->kind = OutputKind::Wav;
        s->wav = std::fopen(name.c_str(), "wb");
        if (!s->wav) {
            int code = -errno;
            delete s;
            return code;
        }
        uint8_t header[kWavHeaderBytes];
        make_wav_header(header, format, 0);
        std::fwrite(header, 1, sizeof header, s->wav);
        std::fflush(s->wav);
    } else {
        s->kind = OutputKind::Alsa;
        silence_alsa();
        int code = snd_pcm_open(&s->pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        if (code >= 0) {
            snd_pcm_format_t pcm_format =
                format.bits_per_sample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
            code = snd_pcm_set_params(s->pcm, pcm_format, SND_PCM_ACCESS_RW_INTERLEAVED, format.channels,
                                      format.samples_per_sec, 1, kAlsaLatencyUs);
            if (code < 0) snd_pcm_close(s->pcm);
        }
        if (code < 0) {
            delete s;
            return code;
        }
    }
    s->thread = std::thread(service_loop, s);
    *out = s;
    notify(s, kAudioMessageOpen, context, nullptr);
    return 0;
}

int prepare_header(AudioStreamId id, AudioBufferHeader* h) {
    if (!id || !h || !h->data) return kAudioErrorInvalid;
    std::lock_guard<std::mutex> lock(as_stream(id)->mutex);
    h->flags |= kAudioHeaderPrepared;
    return 0;
}

int unprepare_header(AudioStreamId id, AudioBufferHeader* h) {
    if (!id || !h) return kAudioErrorInvalid;
    std::lock_guard<std::mutex> lock(as_stream(id)->mutex);
    if (h->flags & kAudioHeaderInQueue) return kAudioErrorBusy;
    h->flags &= ~kAudioHeaderPrepared;
    return 0;
}

int queue_buffer(AudioStreamId id, AudioBufferHeader* h) {
    if (!id || !h) return kAudioErrorInvalid;
    ServiceStream* s = as_stream(id);
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!(h->flags & kAudioHeaderPrepared) || (h->flags & kAudioHeaderInQueue)) return kAudioErrorInvalid;
    h->flags = (h->flags & ~kAudioHeaderDone) | kAudioHeaderInQueue;
    s->queue.push_back(h);
    s->wake.notify_all();
    return 0;
}

int reset_stream(AudioStreamId id) {
    if (!id) return kAudioErrorInvalid;
    ServiceStream* s = as_stream(id);
    std::vector<AudioBufferHeader*> taken;
    {
        std::unique_lock<std::mutex> lock(s->mutex);
        taken = take_queue(*s, lock);
        s->clock_next = Clock::now();
        if (s->pcm) {
            // The service thread is idle with an empty queue, so it cannot touch the PCM now.
            snd_pcm_drop(s->pcm);
            snd_pcm_prepare(s->pcm);
        }
    }
    for (AudioBufferHeader* h : taken) s->notify(s, kAudioMessageDone, s->context, h);
    return 0;
}

int close_stream(AudioStreamId id) {
    if (!id) return kAudioErrorInvalid;
    ServiceStream* s = as_stream(id);
    std::vector<AudioBufferHeader*> taken;
    {
        std::unique_lock<std::mutex> lock(s->mutex);
        taken = take_queue(*s, lock);
        s->closing = true;
        s->wake.notify_all();
    }
    s->thread.join();
    for (AudioBufferHeader* h : taken) s->notify(s, kAudioMessageDone, s->context, h);
    if (s->pcm) {
        drain_alsa(s->pcm);
        snd_pcm_close(s->pcm);
    }
    if (s->wav) std::fclose(s->wav);
    s->notify(s, kAudioMessageClose, s->context, nullptr);
    delete s;
    return 0;
}

}  // namespace

const AudioService system_audio_service = {open_stream,  prepare_header, unprepare_header,
                                           queue_buffer, reset_stream,   close_stream};

bool is_wav_target(const char* target) {
    if (!target) return false;
    size_t n = std::strlen(target);
    if (n < 4) return false;
    const char* tail = target + n - 4;
    return tail[0] == '.' && (tail[1] | 0x20) == 'w' && (tail[2] | 0x20) == 'a' && (tail[3] | 0x20) == 'v';
}

bool is_known_audio_target(const char* target) {
    if (!target || !target[0]) return false;
    const std::string name = target;
    if (name == "default" || name == "null" || is_wav_target(target)) return true;
    silence_alsa();
    // A name ALSA's configuration defines (with its arguments, as in "hw:0,0"); whether the
    // device behind it opens is found out when the output opens.
    if (snd_config_update() < 0) return false;
    snd_config_t* definition = nullptr;
    if (snd_config_search_definition(snd_config, "pcm", target, &definition) < 0) return false;
    snd_config_delete(definition);
    return true;
}
