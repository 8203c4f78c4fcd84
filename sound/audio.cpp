// audio.cpp -- the sp audio layer: stream settings, a ring of device buffers and blocking writes
#include "sound/audio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "support/sp_util.h"

namespace {

constexpr int32_t kMaxPrefill = 8;  // silent buffers that start playback
// A drain gives up when no buffer has come back for this long plus two buffers' playing
// time: a device that stopped playing must not hold the process at its end.
constexpr std::chrono::milliseconds kDrainStallLimit(500);

// Runs on the service's thread: a played buffer is free again.
void output_done(AudioStreamId, unsigned message, void* context, AudioBufferHeader*) {
    if (message == kAudioMessageDone && context) static_cast<AudioDevice*>(context)->free_buffers.release(1);
}

void free_device(AudioDevice* device) {
    if (!device) return;
    for (int32_t i = 0; i < device->count; ++i) std::free(device->buffers[i]);
    std::free(device->headers);
    device->~AudioDevice();
    xspFree(device);
}

// Stops the stream and gives every buffer back to the free count.
void reset_device(AudioDevice& device) {
    device.service->reset_stream(device.stream);
    std::lock_guard<std::mutex> guard(device.lock);
    device.wrapped = 0;
    device.last_index = -1;
    // Buffers the reset already reported free would pass the maximum; the semaphore
    // refuses that release as a whole, which is the intended no-op.
    device.free_buffers.release(device.count);
}

// Waits until every queued buffer has played, a reset cut the wait short, or the device
// stopped returning buffers (then the unplayed rest is dropped with a message).
void drain_device(AudioDevice& device, std::chrono::steady_clock::duration stall_limit) {
    {
        std::lock_guard<std::mutex> guard(device.lock);
        device.wrapped = 1;
    }
    for (int32_t taken = 0; taken < device.count; ++taken) {
        {
            std::lock_guard<std::mutex> guard(device.lock);
            if (!device.wrapped) break;
        }
        if (!device.free_buffers.acquire_until(std::chrono::steady_clock::now() + stall_limit)) {
            spErrorMessage("audio output stopped playing; the rest of the sound is dropped\n");
            break;
        }
    }
    std::lock_guard<std::mutex> guard(device.lock);
    device.free_buffers.release(device.count);
    device.wrapped = 0;
}

// Queues one buffer of the ring; 0 after a service error.
int queue_next(AudioDevice& device, const uint8_t* data, int32_t bytes) {
    const int32_t index = device.next_index;
    if (bytes > 0) std::memcpy(device.buffers[index], data, static_cast<size_t>(bytes));
    device.headers[index].buffer_length = static_cast<uint32_t>(bytes);
    // Fails only while writes are interrupted: the block is dropped, nothing is queued.
    if (!device.free_buffers.acquire()) return 0;
    int code = device.service->queue_buffer(device.stream, &device.headers[index]);
    if (code != 0) {
        // The buffer never reached the service, so its count is still ours.
        device.free_buffers.release(1);
        spErrorMessage("write error: %d\n", code);
        return 0;
    }
    bool wrapped;
    {
        std::lock_guard<std::mutex> guard(device.lock);
        if (index == device.count - 1) device.wrapped = 1;
        wrapped = device.wrapped != 0;
    }
    if (wrapped) {
        // Once the ring has gone round, the buffer the next write fills may still be
        // queued: return only when one more buffer is free, and leave it free.
        if (device.free_buffers.acquire()) device.free_buffers.release(1);
    }
    {
        std::lock_guard<std::mutex> guard(device.lock);
        device.last_index = index;
    }
    device.next_index = index + 1 == device.count ? 0 : index + 1;
    return 1;
}

// Makes the ring and opens the stream; null (after its message) on any failure.
AudioDevice* create_playback(AudioHandle& handle) {
    const int32_t count = std::clamp(handle.buffer_count, 1, kSpMaxAudioBuffers);
    void* memory = xspMalloc(static_cast<int>(sizeof(AudioDevice)));
    auto* device = new (memory) AudioDevice(count);
    device->buffer_bytes = handle.buffer_size;
    device->prefill_count = std::min(handle.buffer_count / 2, kMaxPrefill);
    device->last_index = -1;
    device->service = handle.service;

    for (int32_t i = 0; i < count; ++i) {
        device->buffers[i] = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(device->buffer_bytes), 1));
        if (!device->buffers[i]) {
            spErrorMessage("can't allocate data memory\n");
            free_device(device);
            return nullptr;
        }
    }
    device->headers =
        static_cast<AudioBufferHeader*>(std::calloc(static_cast<size_t>(count), sizeof(AudioBufferHeader)));
    if (!device->headers) {
        spErrorMessage("can't allocate header memory\n");
        free_device(device);
        return nullptr;
    }

    AudioStreamFormat format;
    format.format_tag = 1;
    format.channels = static_cast<uint16_t>(handle.channels);
    format.samples_per_sec = static_cast<uint32_t>(spRound(handle.sampling_rate));
    format.bits_per_sample = static_cast<uint16_t>(handle.device_bits);
    format.block_align = static_cast<uint16_t>(handle.device_bits * handle.channels / 8);
    format.avg_bytes_per_sec = format.block_align * format.samples_per_sec;
    int code = device->service->open_stream(&device->stream, handle.output_target.c_str(), format,
                                            output_done, device);
    if (code != 0) {
        spErrorMessage("open error: %d\n", code);
        free_device(device);
        return nullptr;
    }

    for (int32_t i = 0; i < count; ++i) {
        AudioBufferHeader& h = device->headers[i];
        h.data = device->buffers[i];
        h.buffer_length = static_cast<uint32_t>(device->buffer_bytes);
        h.flags = 0;
        h.loops = 0;
        if (device->service->prepare_header(device->stream, &h) != 0 || !(h.flags & kAudioHeaderPrepared)) {
            spErrorMessage("buffer preparation error.\n");
            device->service->close_stream(device->stream);
            free_device(device);
            return nullptr;
        }
    }

    reset_device(*device);

    // Playback starts on silence so that the first real block has a queue to join.
    for (int32_t i = 0; i < device->prefill_count; ++i) {
        if (!device->free_buffers.acquire()) break;
        code = device->service->queue_buffer(device->stream, &device->headers[i]);
        if (code != 0) {
            spErrorMessage("write error: %d\n", code);
            device->service->reset_stream(device->stream);
            device->service->close_stream(device->stream);
            free_device(device);
            return nullptr;
        }
    }
    device->next_index = device->prefill_count;
    return device;
}

// Converts 24- or 32-bit values to 16 bits, half up, clamped to the 16-bit range.
long write_wide(AudioHandle* handle, const int32_t* data, long length) {
    const double divisor = handle->data_bits == 24 ? 256.0 : 65536.0;
    // The conversion block's size must fit xspMalloc's int.
    if (length > 0x3FFFFFFFL) return -1;
    long bytes = std::max(length, 1L) * static_cast<long>(sizeof(int16_t));
    auto* narrow = static_cast<int16_t*>(xspMalloc(static_cast<int>(bytes)));
    for (long i = 0; i < length; ++i) {
        double v = spRound(data[i] / divisor);
        narrow[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
    int32_t saved = handle->data_bits;
    handle->data_bits = handle->device_bits;
    long written = spWriteAudio(handle, narrow, length);
    handle->data_bits = saved;
    xspFree(narrow);
    return written;
}

}  // namespace

AudioHandle* spInitAudio() {
    spDebugMessage(1, "spInitAudio", "in\n");
    void* memory = xspMalloc(static_cast<int>(sizeof(AudioHandle)));
    auto* handle = new (memory) AudioHandle();
    spAddExitCallback(spTerminateAudio, handle);
    return handle;
}

int spSetAudioSamplingRate(AudioHandle* handle, double rate) {
    if (!handle) return 0;
    handle->sampling_rate = rate;
    spDebugMessage(1, nullptr, "sampling rate = %f\n", rate);
    return 1;
}

int spGetAudioSamplingRate(AudioHandle* handle, double* rate) {
    if (!handle) return 0;
    if (rate) *rate = handle->sampling_rate;
    return 1;
}

int spSetAudioChannels(AudioHandle* handle, int32_t channels) {
    if (!handle) return 0;
    handle->channels = channels;
    spDebugMessage(1, nullptr, "channels = %d\n", channels);
    return 1;
}

int spGetAudioChannels(AudioHandle* handle, int32_t* channels) {
    if (!handle) return 0;
    if (channels) *channels = handle->channels;
    return 1;
}

int spSetAudioBufferSize(AudioHandle* handle, int32_t bytes) {
    if (!handle) return 0;
    handle->buffer_size = bytes <= 0 ? kSpDefaultBufferSize : bytes;
    spDebugMessage(1, nullptr, "audio buffer size = %d\n", handle->buffer_size);
    return 1;
}

int spGetAudioBufferSize(AudioHandle* handle, int32_t* bytes) {
    if (!handle) return 0;
    if (bytes) *bytes = handle->buffer_size;
    return 1;
}

int spSetAudioSampleBits(AudioHandle* handle, int32_t bits) {
    if (!handle) return 0;
    if (bits != 16 && bits != 24 && bits != 32) return 0;
    handle->data_bits = bits;
    return 1;
}

int spGetAudioSampleBits(AudioHandle* handle, int32_t* bits) {
    if (!handle) return 0;
    if (bits) *bits = handle->device_bits;
    return 1;
}

int spSetAudioOutputTarget(AudioHandle* handle, const char* target) {
    if (!handle) return 0;
    handle->output_target = target && target[0] ? target : "default";
    return 1;
}

int spSetAudioService(AudioHandle* handle, const AudioService* service) {
    if (!handle) return 0;
    handle->service = service ? service : &system_audio_service;
    return 1;
}

int spOpenAudioDevice(AudioHandle* handle, const char* mode) {
    if (!handle || !mode || mode[0] == '\0') return 0;
    spDebugMessage(1, "spOpenAudioDevice", "mode = %s\n", mode);
    if (mode[0] != 'w') {
        spDebugMessage(1, nullptr, "Unknown mode: %s\n", mode);
        return 0;
    }
    if (handle->output_device) return 0;
    handle->output_device = create_playback(*handle);
    return handle->output_device ? 1 : 0;
}

long spWriteAudio(AudioHandle* handle, const void* data, long length) {
    if (!handle || !data || length < 0) return -1;
    if ((handle->data_bits == 24 || handle->data_bits == 32) && handle->data_bits != handle->device_bits) {
        return write_wide(handle, static_cast<const int32_t*>(data), length);
    }
    AudioDevice* device = handle->output_device;
    if (!device) return -1;

    const auto* bytes = static_cast<const uint8_t*>(data);
    const int64_t total = static_cast<int64_t>(length) * 2;
    int64_t done = 0;
    do {
        int32_t chunk = static_cast<int32_t>(std::min<int64_t>(total - done, device->buffer_bytes));
        if (!queue_next(*device, bytes + done, chunk)) return 0;
        done += chunk;
    } while (done < total && device->buffer_bytes > 0);
    return static_cast<long>(done / 2);
}

int spInterruptAudio(AudioHandle* handle) {
    if (!handle) return 0;
    if (handle->output_device) handle->output_device->free_buffers.interrupt();
    return 1;
}

int spResumeAudio(AudioHandle* handle) {
    if (!handle) return 0;
    if (handle->output_device) handle->output_device->free_buffers.resume();
    return 1;
}

int spCloseAudioDevice(AudioHandle* handle) {
    if (!handle || !handle->output_device) return 0;
    AudioDevice* device = handle->output_device;
    const double rate = std::max(handle->sampling_rate, 1.0) * std::max(handle->channels, 1) * 2.0;
    const auto buffer_time = std::chrono::duration<double>(device->buffer_bytes / rate);
    drain_device(*device, kDrainStallLimit + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                 2.0 * buffer_time));

    device->service->reset_stream(device->stream);
    for (int32_t i = 0; i < device->count; ++i) {
        if (device->service->unprepare_header(device->stream, &device->headers[i]) != 0) {
            spErrorMessage("buffer unpreparation error.\n");
            break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(device->lock);
        device->last_index = -1;
    }
    // Closing joins the service thread, so no notification can reach the device once freed.
    device->service->close_stream(device->stream);
    free_device(device);
    handle->output_device = nullptr;
    return 1;
}

int spFreeAudio(AudioHandle* handle) {
    if (!handle) return 0;
    spRemoveExitCallback(spTerminateAudio, handle);
    // An open stream is deliberately left running: the quit path ends the process at once.
    handle->~AudioHandle();
    xspFree(handle);
    return 1;
}

void spTerminateAudio(void* handle) {
    spDebugMessage(10, "spTerminateAudio", "in\n");
    auto* h = static_cast<AudioHandle*>(handle);
    spCloseAudioDevice(h);
    spFreeAudio(h);
}
