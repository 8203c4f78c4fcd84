// audio_service_test.cpp -- the real service's null and WAV outputs: order, pacing, reset, file format
#include "sound/audio_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Collects the done notifications of one stream.
struct Listener {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<AudioBufferHeader*> done;
    int opens = 0, closes = 0;

    static void notify(AudioStreamId, unsigned message, void* context, AudioBufferHeader* h) {
        auto* self = static_cast<Listener*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (message == kAudioMessageDone) self->done.push_back(h);
        if (message == kAudioMessageOpen) ++self->opens;
        if (message == kAudioMessageClose) ++self->closes;
        self->changed.notify_all();
    }
    void wait_for(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(5), [&] { return done.size() >= n; });
    }
};

AudioStreamFormat mono16(uint32_t rate) {
    AudioStreamFormat f;
    f.channels = 1;
    f.samples_per_sec = rate;
    f.bits_per_sample = 16;
    f.block_align = 2;
    f.avg_bytes_per_sec = rate * 2;
    return f;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

}  // namespace

TEST(AudioService, NullOutputPlaysInOrderAtTheStreamRate) {
    const AudioService& svc = system_audio_service;
    Listener listener;
    AudioStreamId stream = nullptr;
    ASSERT_EQ(svc.open_stream(&stream, "null", mono16(16000), Listener::notify, &listener), 0);
    // Four buffers of 20 ms each.
    std::vector<std::vector<uint8_t>> data(4, std::vector<uint8_t>(640, 0));
    std::vector<AudioBufferHeader> headers(4);
    auto start = Clock::now();
    for (int i = 0; i < 4; ++i) {
        headers[i].data = data[i].data();
        headers[i].buffer_length = 640;
        ASSERT_EQ(svc.prepare_header(stream, &headers[i]), 0);
        EXPECT_TRUE(headers[i].flags & kAudioHeaderPrepared);
        ASSERT_EQ(svc.queue_buffer(stream, &headers[i]), 0);
    }
    EXPECT_EQ(svc.unprepare_header(stream, &headers[3]), kAudioErrorBusy);
    listener.wait_for(4);
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    // Lenient: a loaded machine may be late, never early.
    EXPECT_GE(elapsed, 0.075);
    EXPECT_LT(elapsed, 2.0);
    ASSERT_EQ(listener.done.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(listener.done[i], &headers[i]);
        EXPECT_TRUE(headers[i].flags & kAudioHeaderDone);
        EXPECT_FALSE(headers[i].flags & kAudioHeaderInQueue);
        EXPECT_EQ(svc.unprepare_header(stream, &headers[i]), 0);
    }
    AudioBufferHeader unprepared{data[0].data(), 640, 0, 0};
    EXPECT_EQ(svc.queue_buffer(stream, &unprepared), kAudioErrorInvalid);
    EXPECT_EQ(svc.close_stream(stream), 0);
    EXPECT_EQ(listener.opens, 1);
    EXPECT_EQ(listener.closes, 1);
}

TEST(AudioService, ResetReturnsEveryQueuedBufferAtOnce) {
    const AudioService& svc = system_audio_service;
    Listener listener;
    AudioStreamId stream = nullptr;
    ASSERT_EQ(svc.open_stream(&stream, "null", mono16(8000), Listener::notify, &listener), 0);
    // Ten buffers of half a second: playing them would take five seconds.
    std::vector<uint8_t> data(8000, 0);
    std::vector<AudioBufferHeader> headers(10);
    for (auto& h : headers) {
        h.data = data.data();
        h.buffer_length = 8000;
        svc.prepare_header(stream, &h);
        svc.queue_buffer(stream, &h);
    }
    auto start = Clock::now();
    EXPECT_EQ(svc.reset_stream(stream), 0);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.4);
    EXPECT_EQ(listener.done.size(), 10u);
    for (auto& h : headers) EXPECT_FALSE(h.flags & kAudioHeaderInQueue);
    EXPECT_EQ(svc.close_stream(stream), 0);
}

TEST(AudioService, WavOutputIsACompletePcmFile) {
    ScratchDir dir;
    const std::string path = dir.file("out.WAV");
    ASSERT_TRUE(is_wav_target(path.c_str()));
    EXPECT_FALSE(is_wav_target("default"));
    EXPECT_FALSE(is_wav_target("wav"));
    const AudioService& svc = system_audio_service;
    Listener listener;
    AudioStreamId stream = nullptr;
    ASSERT_EQ(svc.open_stream(&stream, path.c_str(), mono16(16000), Listener::notify, &listener), 0);
    std::vector<int16_t> a(100), b(60);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<int16_t>(i * 300 - 15000);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<int16_t>(-static_cast<int>(i));
    AudioBufferHeader ha{reinterpret_cast<uint8_t*>(a.data()), 200, 0, 0};
    AudioBufferHeader hb{reinterpret_cast<uint8_t*>(b.data()), 120, 0, 0};
    svc.prepare_header(stream, &ha);
    svc.prepare_header(stream, &hb);
    svc.queue_buffer(stream, &ha);
    svc.queue_buffer(stream, &hb);
    listener.wait_for(2);
    // The header is complete after every buffer, before the stream is closed.
    std::vector<uint8_t> before = read_binary_file(path);
    ASSERT_EQ(before.size(), 44u + 320);
    EXPECT_EQ(le32(before, 40), 320u);
    ASSERT_EQ(svc.close_stream(stream), 0);

    std::vector<uint8_t> file = read_binary_file(path);
    ASSERT_EQ(file.size(), 44u + 320);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(le32(file, 4), 36u + 320);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le32(file, 16), 16u);
    EXPECT_EQ(le16(file, 20), 1);
    EXPECT_EQ(le16(file, 22), 1);
    EXPECT_EQ(le32(file, 24), 16000u);
    EXPECT_EQ(le32(file, 28), 32000u);
    EXPECT_EQ(le16(file, 32), 2);
    EXPECT_EQ(le16(file, 34), 16);
    EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
    EXPECT_EQ(le32(file, 40), 320u);
    EXPECT_EQ(std::memcmp(file.data() + 44, a.data(), 200), 0);
    EXPECT_EQ(std::memcmp(file.data() + 244, b.data(), 120), 0);
}

TEST(AudioService, OpenFailuresGiveNegativeCodes) {
    const AudioService& svc = system_audio_service;
    Listener listener;
    AudioStreamId stream = nullptr;
    AudioStreamFormat no_channels = mono16(16000);
    no_channels.channels = 0;
    EXPECT_EQ(svc.open_stream(&stream, "null", no_channels, Listener::notify, &listener), kAudioErrorInvalid);
    EXPECT_EQ(svc.open_stream(&stream, "null", mono16(0), Listener::notify, &listener), kAudioErrorInvalid);
    EXPECT_LT(svc.open_stream(&stream, "/no/such/dir/out.wav", mono16(16000), Listener::notify, &listener), 0);
    EXPECT_LT(svc.open_stream(&stream, "no-such-alsa-pcm", mono16(16000), Listener::notify, &listener), 0);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(listener.opens, 0);
}
