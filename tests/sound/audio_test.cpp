// audio_test.cpp -- the sp audio layer's ring, prefill, chunking and blocking, over a test double
#include "sound/audio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "support/sp_util.h"
#include "test_support.h"

namespace {

// A service that records what it is asked and completes buffers only when told to
// (or at once in auto_complete mode), so no real time passes.
struct FakeService {
    std::mutex mutex;
    AudioNotify notify = nullptr;
    void* context = nullptr;
    AudioStreamFormat format;
    std::string target;
    std::vector<AudioBufferHeader*> queued;  // in queue order, not yet completed
    std::vector<uint32_t> lengths;           // every queued length
    std::vector<std::vector<uint8_t>> data;  // every queued buffer's bytes
    int open_result = 0;
    int queue_result = 0;
    int prepare_result = 0;
    bool auto_complete = false;
    int resets = 0, unprepares = 0, closes = 0;
    bool open = false;
};

FakeService fake;
int fake_stream_tag;

int fake_open(AudioStreamId* out, const char* target, const AudioStreamFormat& format, AudioNotify notify,
              void* context) {
    std::lock_guard<std::mutex> lock(fake.mutex);
    fake.format = format;
    fake.target = target;
    if (fake.open_result != 0) return fake.open_result;
    fake.notify = notify;
    fake.context = context;
    fake.open = true;
    *out = &fake_stream_tag;
    return 0;
}

int fake_prepare(AudioStreamId, AudioBufferHeader* h) {
    if (fake.prepare_result != 0) return fake.prepare_result;
    h->flags |= kAudioHeaderPrepared;
    return 0;
}

int fake_unprepare(AudioStreamId, AudioBufferHeader* h) {
    std::lock_guard<std::mutex> lock(fake.mutex);
    h->flags &= ~kAudioHeaderPrepared;
    ++fake.unprepares;
    return 0;
}

int fake_queue(AudioStreamId stream, AudioBufferHeader* h) {
    {
        std::lock_guard<std::mutex> lock(fake.mutex);
        if (fake.queue_result != 0) return fake.queue_result;
        fake.lengths.push_back(h->buffer_length);
        fake.data.emplace_back(h->data, h->data + h->buffer_length);
        if (!fake.auto_complete) {
            fake.queued.push_back(h);
            return 0;
        }
    }
    fake.notify(stream, kAudioMessageDone, fake.context, h);
    return 0;
}

// Completes the oldest n queued buffers, as a card playing them would.
void complete(size_t n) {
    std::vector<AudioBufferHeader*> done;
    {
        std::lock_guard<std::mutex> lock(fake.mutex);
        n = std::min(n, fake.queued.size());
        done.assign(fake.queued.begin(), fake.queued.begin() + static_cast<long>(n));
        fake.queued.erase(fake.queued.begin(), fake.queued.begin() + static_cast<long>(n));
    }
    for (AudioBufferHeader* h : done) fake.notify(&fake_stream_tag, kAudioMessageDone, fake.context, h);
}

int fake_reset(AudioStreamId) {
    {
        std::lock_guard<std::mutex> lock(fake.mutex);
        ++fake.resets;
    }
    complete(SIZE_MAX);
    return 0;
}

int fake_close(AudioStreamId) {
    std::lock_guard<std::mutex> lock(fake.mutex);
    ++fake.closes;
    fake.open = false;
    return 0;
}

const AudioService fake_service = {fake_open, fake_prepare, fake_unprepare, fake_queue, fake_reset, fake_close};

struct AudioTest : ::testing::Test {
    AudioHandle* handle = nullptr;
    void SetUp() override {
        reset_sp_util();
        fake.~FakeService();
        new (&fake) FakeService();
        handle = spInitAudio();
        spSetAudioService(handle, &fake_service);
    }
    void TearDown() override {
        if (handle) {
            complete(SIZE_MAX);
            fake.auto_complete = true;
            spCloseAudioDevice(handle);
            spFreeAudio(handle);
        }
        reset_sp_util();
    }
    // Opens with the viewer's settings: 16000 Hz mono, one 527-value block per buffer.
    void open_viewer_stream(int32_t buffer_size = 1054) {
        spSetAudioSamplingRate(handle, 16000.0);
        spSetAudioBufferSize(handle, buffer_size);
        ASSERT_EQ(spOpenAudioDevice(handle, "w"), 1);
    }
};

}  // namespace

TEST_F(AudioTest, SettersAndGettersKeepTheirRules) {
    int32_t value = 0;
    double rate = 0.0;
    EXPECT_EQ(spSetAudioBufferSize(handle, 0), 1);
    spGetAudioBufferSize(handle, &value);
    EXPECT_EQ(value, 8192);
    spSetAudioBufferSize(handle, 1054);
    spSetAudioBufferSize(handle, -3);
    spGetAudioBufferSize(handle, &value);
    EXPECT_EQ(value, 8192);

    EXPECT_EQ(spSetAudioSampleBits(handle, 8), 0);
    EXPECT_EQ(handle->data_bits, 16);
    spGetAudioSampleBits(handle, &value);
    EXPECT_EQ(value, 16);
    EXPECT_EQ(spSetAudioSampleBits(handle, 24), 1);
    EXPECT_EQ(handle->data_bits, 24);
    spGetAudioSampleBits(handle, &value);
    EXPECT_EQ(value, 16);  // the getter reports the device width

    spGetAudioSamplingRate(handle, &rate);
    EXPECT_EQ(rate, 8000.0);
    EXPECT_EQ(spGetAudioSamplingRate(handle, nullptr), 1);
    EXPECT_EQ(spSetAudioChannels(nullptr, 2), 0);
    EXPECT_EQ(spGetAudioChannels(nullptr, &value), 0);
    EXPECT_EQ(spSetAudioSamplingRate(nullptr, 1.0), 0);
    EXPECT_EQ(spSetAudioSampleBits(nullptr, 16), 0);
    EXPECT_EQ(spOpenAudioDevice(nullptr, "w"), 0);
    EXPECT_EQ(spWriteAudio(nullptr, &value, 1), -1);
    EXPECT_EQ(spCloseAudioDevice(nullptr), 0);
}

TEST_F(AudioTest, InitRegistersTheTerminateCallback) {
    ASSERT_EQ(sp_util_state.callback_count, 1);
    EXPECT_EQ(sp_util_state.callbacks[0], spTerminateAudio);
    EXPECT_EQ(sp_util_state.callback_data[0], handle);
    spFreeAudio(handle);
    handle = nullptr;
    EXPECT_EQ(sp_util_state.callbacks[0], nullptr);
}

TEST_F(AudioTest, OpenQueuesEightSilentBuffersOfSixtyFour) {
    open_viewer_stream();
    AudioDevice* device = handle->output_device;
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->count, 64);
    EXPECT_EQ(device->prefill_count, 8);
    EXPECT_EQ(device->next_index, 8);
    EXPECT_EQ(device->last_index, -1);
    EXPECT_EQ(device->wrapped, 0);
    EXPECT_EQ(device->free_buffers.value(), 56);
    EXPECT_EQ(fake.lengths, std::vector<uint32_t>(8, 1054));
    for (const auto& bytes : fake.data) EXPECT_EQ(bytes, std::vector<uint8_t>(1054, 0));
    for (int i = 0; i < 64; ++i) EXPECT_TRUE(device->headers[i].flags & kAudioHeaderPrepared);
    EXPECT_EQ(fake.resets, 1);
    EXPECT_EQ(fake.target, "default");

    EXPECT_EQ(fake.format.format_tag, 1);
    EXPECT_EQ(fake.format.channels, 1);
    EXPECT_EQ(fake.format.samples_per_sec, 16000u);
    EXPECT_EQ(fake.format.bits_per_sample, 16);
    EXPECT_EQ(fake.format.block_align, 2);
    EXPECT_EQ(fake.format.avg_bytes_per_sec, 32000u);
}

TEST_F(AudioTest, RateIsRoundedHalfUpAtOpen) {
    spSetAudioChannels(handle, 2);
    spSetAudioSamplingRate(handle, 22050.4);
    ASSERT_EQ(spOpenAudioDevice(handle, "w"), 1);
    EXPECT_EQ(fake.format.samples_per_sec, 22050u);
    EXPECT_EQ(fake.format.block_align, 4);
    EXPECT_EQ(fake.format.avg_bytes_per_sec, 88200u);
    complete(SIZE_MAX);
    ASSERT_EQ(spCloseAudioDevice(handle), 1);
    spSetAudioSamplingRate(handle, 22050.5);
    ASSERT_EQ(spOpenAudioDevice(handle, "w"), 1);
    EXPECT_EQ(fake.format.samples_per_sec, 22051u);
}

TEST_F(AudioTest, ModesAndRepeatedOpens) {
    EXPECT_EQ(spOpenAudioDevice(handle, "x"), 0);
    EXPECT_EQ(spOpenAudioDevice(handle, ""), 0);
    EXPECT_EQ(spOpenAudioDevice(handle, nullptr), 0);
    EXPECT_EQ(handle->output_device, nullptr);
    ASSERT_EQ(spOpenAudioDevice(handle, "wb"), 1);  // only the first letter counts
    AudioDevice* first = handle->output_device;
    EXPECT_EQ(spOpenAudioDevice(handle, "w"), 0);
    EXPECT_EQ(handle->output_device, first);
    EXPECT_EQ(fake.lengths.size(), 8u);  // the second open queued nothing
}

TEST_F(AudioTest, WritesAreCutIntoBufferSizedChunks) {
    open_viewer_stream();
    std::vector<int16_t> values(3000);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int16_t>(i * 7 - 9000);
    EXPECT_EQ(spWriteAudio(handle, values.data(), 3000), 3000);
    std::vector<uint32_t> written(fake.lengths.begin() + 8, fake.lengths.end());
    EXPECT_EQ(written, (std::vector<uint32_t>{1054, 1054, 1054, 1054, 1054, 730}));
    std::vector<uint8_t> joined;
    for (size_t i = 8; i < fake.data.size(); ++i) joined.insert(joined.end(), fake.data[i].begin(), fake.data[i].end());
    ASSERT_EQ(joined.size(), 6000u);
    EXPECT_EQ(std::memcmp(joined.data(), values.data(), 6000), 0);
    EXPECT_EQ(handle->output_device->next_index, 14);
    EXPECT_EQ(handle->output_device->last_index, 13);

    EXPECT_EQ(spWriteAudio(handle, values.data(), 527), 527);  // the viewer's block: one buffer
    EXPECT_EQ(fake.lengths.back(), 1054u);
    EXPECT_EQ(spWriteAudio(handle, values.data(), 0), 0);  // still queues one empty buffer
    EXPECT_EQ(fake.lengths.back(), 0u);
    EXPECT_EQ(fake.lengths.size(), 16u);
    EXPECT_EQ(spWriteAudio(handle, nullptr, 10), -1);
    EXPECT_EQ(spWriteAudio(handle, values.data(), -1), -1);
}

TEST_F(AudioTest, WriteWithoutStreamIsRefused) {
    int16_t v[4] = {};
    EXPECT_EQ(spWriteAudio(handle, v, 4), -1);
    fake.open_result = -2;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(spOpenAudioDevice(handle, "w"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "open error: -2\n");
    EXPECT_EQ(handle->output_device, nullptr);
    EXPECT_EQ(spWriteAudio(handle, v, 4), -1);
}

TEST_F(AudioTest, ServiceErrorsFailTheirStep) {
    fake.prepare_result = -5;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(spOpenAudioDevice(handle, "w"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "buffer preparation error.\n");
    EXPECT_EQ(handle->output_device, nullptr);
    EXPECT_EQ(fake.closes, 1);  // the stream opened before the failure is closed again

    fake.prepare_result = 0;
    fake.queue_result = -32;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(spOpenAudioDevice(handle, "w"), 0);  // the prefill cannot be queued
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "write error: -32\n");

    fake.queue_result = 0;
    open_viewer_stream();
    fake.queue_result = -32;
    int16_t v[527] = {};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(spWriteAudio(handle, v, 527), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "write error: -32\n");
    EXPECT_EQ(handle->output_device->free_buffers.value(), 56);  // the failed buffer stays free
    fake.queue_result = 0;
}

TEST_F(AudioTest, WideDataIsNarrowedHalfUp) {
    open_viewer_stream();
    ASSERT_EQ(spSetAudioSampleBits(handle, 24), 1);
    int32_t wide24[5] = {100 * 256 + 128, -128, -129, 8388607, -8388608};
    EXPECT_EQ(spWriteAudio(handle, wide24, 5), 5);
    std::vector<int16_t> got(5);
    std::memcpy(got.data(), fake.data.back().data(), 10);
    EXPECT_EQ(got, (std::vector<int16_t>{101, 0, -1, 32767, -32768}));

    ASSERT_EQ(spSetAudioSampleBits(handle, 32), 1);
    int32_t wide32[2] = {3 * 65536, -65536 * 2 - 32768};
    EXPECT_EQ(spWriteAudio(handle, wide32, 2), 2);
    std::memcpy(got.data(), fake.data.back().data(), 4);
    EXPECT_EQ(got[0], 3);
    EXPECT_EQ(got[1], -2);
}

TEST_F(AudioTest, WritesBlockOnceTheRingHasGoneRound) {
    open_viewer_stream();
    std::vector<int16_t> block(527, 1);
    // 56 buffers are free; the write that fills the last buffer of the ring (index 63) must
    // also wait for one more buffer to come back.
    for (int i = 0; i < 55; ++i) ASSERT_EQ(spWriteAudio(handle, block.data(), 527), 527);
    EXPECT_EQ(handle->output_device->wrapped, 0);
    std::atomic<bool> returned{false};
    std::thread writer([&] {
        spWriteAudio(handle, block.data(), 527);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(returned.load());
    complete(1);
    writer.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(handle->output_device->wrapped, 1);
    EXPECT_EQ(handle->output_device->next_index, 0);
    EXPECT_EQ(handle->output_device->free_buffers.value(), 1);

    // From now on every write leaves one buffer free before it returns.
    returned = false;
    std::thread second([&] {
        spWriteAudio(handle, block.data(), 527);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(returned.load());
    complete(1);
    second.join();
    EXPECT_EQ(handle->output_device->free_buffers.value(), 1);
}

TEST_F(AudioTest, CloseDrainsThenStopsAndFrees) {
    open_viewer_stream();
    std::vector<int16_t> block(527, 3);
    for (int i = 0; i < 4; ++i) spWriteAudio(handle, block.data(), 527);
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        EXPECT_EQ(spCloseAudioDevice(handle), 1);
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(closed.load());  // 12 buffers still queued
    complete(11);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(closed.load());
    complete(1);
    closer.join();
    EXPECT_EQ(fake.unprepares, 64);
    EXPECT_EQ(fake.closes, 1);
    EXPECT_EQ(handle->output_device, nullptr);
    EXPECT_EQ(spCloseAudioDevice(handle), 0);
}

// The death test re-runs this binary in a child, so both sides name the file by the
// parent's process id: getpid() here, getppid() inside the statement.
std::string exit_wav_path(long pid) {
    return (std::filesystem::temp_directory_path() / ("vintrel-exit-" + std::to_string(pid) + ".wav")).string();
}

TEST(AudioExit, FatalExitClosesTheOutputThroughItsCallback) {
    const std::string path = exit_wav_path(getpid());
    std::filesystem::remove(path);
    // The child starts the service thread, so it must not be a bare fork of a threaded parent.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            reset_sp_util();
            AudioHandle* h = spInitAudio();
            spSetAudioSamplingRate(h, 16000.0);
            spSetAudioBufferSize(h, 64);
            spSetAudioOutputTarget(h, exit_wav_path(getppid()).c_str());
            if (spOpenAudioDevice(h, "w") != 1) std::exit(3);
            std::vector<int16_t> values(96, 1234);
            spWriteAudio(h, values.data(), 96);
            spFatalExit(-1, "Can't malloc %d bytes\n", 7);
        },
        ::testing::ExitedWithCode(255), "Can't malloc 7 bytes");
    // The callback drained the queue before the process ended: 8 silent buffers, then the data.
    std::vector<uint8_t> file = read_binary_file(path);
    std::filesystem::remove(path);
    ASSERT_EQ(file.size(), 44u + 8 * 64 + 192);
    EXPECT_EQ(file[40] | file[41] << 8, 8 * 64 + 192);
    EXPECT_EQ(file[44 + 8 * 64] | file[45 + 8 * 64] << 8, 1234);
}
