// audio.h -- the sp audio layer: stream settings, a ring of device buffers and blocking writes
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "sound/audio_service.h"
#include "support/counting_semaphore.h"

// Most device buffers one stream may have.
constexpr int32_t kSpMaxAudioBuffers = 256;
// Buffer size used when a size <= 0 is asked for.
constexpr int32_t kSpDefaultBufferSize = 8192;

// One open playback stream and its ring of buffers.
struct AudioDevice {
    int32_t buffer_bytes = 0;   // size of each buffer
    int32_t prefill_count = 0;  // silent buffers queued when playback starts
    int32_t wrapped = 0;        // 1 once the ring index reached the last buffer; 1 while draining
    int32_t next_index = 0;     // buffer the next write fills
    int32_t last_index = -1;    // buffer written last; -1 when none
    int32_t count = 0;          // number of buffers
    uint8_t* buffers[kSpMaxAudioBuffers] = {};  // zero-filled, fixed while the stream is open
    AudioBufferHeader* headers = nullptr;       // count headers
    std::mutex lock;                            // guards wrapped and last_index
    CountingSemaphore free_buffers;             // buffers not queued at the service
    AudioStreamId stream = nullptr;
    const AudioService* service = nullptr;  // the service the stream was opened on
    explicit AudioDevice(int32_t buffer_count)
        : count(buffer_count), free_buffers(buffer_count, buffer_count) {}
};

// Stream settings and the playback stream; made by spInitAudio.
struct AudioHandle {
    int32_t device_bits = 16;
    double sampling_rate = 8000.0;
    int32_t channels = 1;
    int32_t buffer_size = kSpDefaultBufferSize;
    int32_t data_bits = 16;  // width of the caller's values: 16, 24 or 32
    int32_t buffer_count = 64;
    AudioDevice* output_device = nullptr;
    std::string output_target = "default";                // where playback goes (see audio_service.h)
    const AudioService* service = &system_audio_service;  // swapped by tests
};

// A handle with the defaults, registered for closing on a fatal exit.
AudioHandle* spInitAudio();
// Rate in samples per second per channel; 1, or 0 for a missing handle.
int spSetAudioSamplingRate(AudioHandle* handle, double rate);
// Gives the stored rate when rate is not null.
int spGetAudioSamplingRate(AudioHandle* handle, double* rate);
// Channel count, not validated here.
int spSetAudioChannels(AudioHandle* handle, int32_t channels);
// Gives the stored channel count.
int spGetAudioChannels(AudioHandle* handle, int32_t* channels);
// Bytes per device buffer; <= 0 is stored as 8192.
int spSetAudioBufferSize(AudioHandle* handle, int32_t bytes);
// Gives the stored buffer size.
int spGetAudioBufferSize(AudioHandle* handle, int32_t* bytes);
// Width of the caller's data: 1 for 16, 24 or 32; 0 (and no change) otherwise.
int spSetAudioSampleBits(AudioHandle* handle, int32_t bits);
// Gives the device width (always 16), not the data width.
int spGetAudioSampleBits(AudioHandle* handle, int32_t* bits);
// Chooses the output for the next open: "default" or an ALSA PCM name, "null", or a ".wav" path.
int spSetAudioOutputTarget(AudioHandle* handle, const char* target);
// Replaces the waveform service (tests); null restores the system one.
int spSetAudioService(AudioHandle* handle, const AudioService* service);
// Mode "w" opens playback and queues the silent prefill; 1 when open, 0 on any failure.
int spOpenAudioDevice(AudioHandle* handle, const char* mode);
// Plays length values: the count written, 0 on a queueing error, -1 when refused or not open.
long spWriteAudio(AudioHandle* handle, const void* data, long length);
// Lets a write that waits for a free buffer return at once (it returns 0 and drops the
// rest of its data), and makes later writes do the same until spResumeAudio: how a
// caller stops a writer thread whose device no longer returns buffers. 0 without handle.
int spInterruptAudio(AudioHandle* handle);
// Ends an interruption; writes wait for free buffers again.
int spResumeAudio(AudioHandle* handle);
// Drains (giving up once the device stops returning buffers), stops, closes and frees
// the playback stream; 0 when none was open, else 1.
int spCloseAudioDevice(AudioHandle* handle);
// Unregisters the exit callback and frees the handle; an open stream is left as it is.
int spFreeAudio(AudioHandle* handle);
// Exit callback: closes the stream, then frees the handle.
void spTerminateAudio(void* handle);
