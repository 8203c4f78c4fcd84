// audio_service.h -- the waveform output service under the sp audio layer: ALSA, null and WAV outputs
#pragma once

#include <cstdint>

// Header flags, with the values the audio layer checks.
constexpr uint32_t kAudioHeaderDone = 0x01;      // played (or returned by a reset)
constexpr uint32_t kAudioHeaderPrepared = 0x02;  // prepared and not yet unprepared
constexpr uint32_t kAudioHeaderInQueue = 0x10;   // queued at the service, not yet done

// Notification messages passed to a stream's routine.
constexpr unsigned kAudioMessageOpen = 0x3BB;
constexpr unsigned kAudioMessageClose = 0x3BC;
constexpr unsigned kAudioMessageDone = 0x3BD;  // one queued buffer has played

// Service error codes of the non-ALSA outputs (ALSA's own codes are negative errno values too).
constexpr int kAudioErrorInvalid = -22;  // bad format, null header, unprepared header
constexpr int kAudioErrorBusy = -16;     // unpreparing a header that is still queued

// PCM stream format handed to the service when a stream opens.
struct AudioStreamFormat {
    uint16_t format_tag = 1;  // PCM
    uint16_t channels = 1;
    uint32_t samples_per_sec = 0;
    uint32_t avg_bytes_per_sec = 0;
    uint16_t block_align = 0;
    uint16_t bits_per_sample = 16;
};

// One buffer as the service sees it; the caller owns it and its data.
struct AudioBufferHeader {
    uint8_t* data = nullptr;
    uint32_t buffer_length = 0;  // bytes to play
    uint32_t flags = 0;
    uint32_t loops = 0;
};

// Opaque stream of one service.
using AudioStreamId = void*;

// Called on the service's thread (or the resetting thread) with a message and the open's context.
using AudioNotify = void (*)(AudioStreamId stream, unsigned message, void* context,
                             AudioBufferHeader* header);

// The operations the audio layer needs; every one returns 0 or a negative service code.
// Tests swap in their own table to run the layer without real time passing.
struct AudioService {
    // Opens a playback stream on target ("default" or another ALSA PCM name, "null", or a
    // path ending in ".wav"); on success stores the stream in *stream.
    int (*open_stream)(AudioStreamId* stream, const char* target, const AudioStreamFormat& format,
                       AudioNotify notify, void* context);
    // Marks a header prepared (flag kAudioHeaderPrepared).
    int (*prepare_header)(AudioStreamId stream, AudioBufferHeader* header);
    // Clears the prepared flag; refused while the header is queued.
    int (*unprepare_header)(AudioStreamId stream, AudioBufferHeader* header);
    // Queues a prepared header; buffers play in queue order, each reported done when played.
    int (*queue_buffer)(AudioStreamId stream, AudioBufferHeader* header);
    // Stops playback and reports every queued buffer done before returning.
    int (*reset_stream)(AudioStreamId stream);
    // Stops the stream's thread and releases it; queued buffers are returned first.
    int (*close_stream)(AudioStreamId stream);
};

// The real service: ALSA for a sound card, paced discard for "null", paced WAV for "*.wav".
extern const AudioService system_audio_service;

// True when target names a WAV file output (ends in ".wav", any case).
bool is_wav_target(const char* target);

// True for "default", "null", a ".wav" path, or a PCM name that ALSA's configuration
// defines; false for anything else (a mistyped target).
bool is_known_audio_target(const char* target);
