// mixer.cpp -- the thunder mixer: background loop plus one thunder voice per discharge, one block per tick
#include "sound/mixer.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "support/sp_util.h"

SoundMixer sound_mixer;

namespace {

constexpr float kOutputScale = 32767.0f;  // full scale; -32768 is never produced

// A sound the mixer can index modulo its length without reading past its samples.
const Sound* playable(const std::vector<Sound>& sounds, int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= sounds.size()) return nullptr;
    const Sound& s = sounds[static_cast<size_t>(index)];
    if (s.length <= 0 || s.samples.size() < static_cast<size_t>(s.length)) return nullptr;
    return &s;
}

// Adds gain * sound[start + k] to the block's ring values. A looping sound goes on from
// its beginning after its end; any other one adds nothing beyond its end.
void add_sound(SoundMixer& m, const Sound& sound, int64_t start, float gain, bool loop) {
    const int32_t ring = m.mix_ring_length;
    const int64_t length = sound.length;
    int64_t pos = start % length;
    int32_t r = m.mix_position;
    for (int32_t k = 0; k < m.block_frames; ++k) {
        m.mix_ring[static_cast<size_t>(r)] += sound.samples[static_cast<size_t>(pos)] * gain;
        if (++pos == length) {
            if (!loop) return;
            pos = 0;
        }
        if (++r == ring) r = 0;
    }
}

// A synthesised voice counts samples since its strike and plays its buffer from the sample that
// is due; until the buffer is there it runs on in silence, so it never waits for the synthesis.
void mix_synthesised(SoundMixer& m, ThunderVoice& voice, int32_t pos) {
    const uint32_t generation = voice.synth_generation.load();
    const SynthesisedThunder* thunder = voice.synth.load();
    const int64_t next = static_cast<int64_t>(pos) + m.block_frames;
    int32_t after = next > INT32_MAX ? -1 : static_cast<int32_t>(next);
    if (thunder && thunder->generation == generation) {
        const int64_t length = static_cast<int64_t>(thunder->samples.size());
        const int64_t from = static_cast<int64_t>(pos) - thunder->first_sample;
        const float gain = voice.thunder_gain.load();
        for (int32_t k = 0, r = m.mix_position; k < m.block_frames; ++k) {
            const int64_t i = from + k;
            if (i >= 0 && i < length)
                m.mix_ring[static_cast<size_t>(r)] += thunder->samples[static_cast<size_t>(i)] * gain;
            if (++r == m.mix_ring_length) r = 0;
        }
        if (from + m.block_frames >= length) after = -1;
    }
    // Done with the buffer: from here on it may be freed.
    voice.synth_mixes.fetch_add(1);
    voice.thunder_pos.compare_exchange_strong(pos, after);
}

void mix_voice(SoundMixer& m, const std::vector<Sound>& sounds, ThunderVoice& voice) {
    int32_t wave = voice.thunder_wave.load();
    int32_t pos = voice.thunder_pos.load();
    if (wave == kSynthesisedWave && pos >= 0) return mix_synthesised(m, voice, pos);
    if (wave < 0 || pos < 0) return;
    const Sound* sound = playable(sounds, wave);
    if (!sound) return;
    // The tail of a thunder is followed by silence: wrapping to its start would replay up to
    // a block of the attack as a click at the end of every thunder.
    add_sound(m, *sound, pos, voice.thunder_gain.load(), false);
    int64_t next = static_cast<int64_t>(pos) + m.block_frames;
    int32_t after = next >= sound->length ? -1 : static_cast<int32_t>(next);
    // A discharge that restarted the voice meanwhile wins over this advance.
    voice.thunder_pos.compare_exchange_strong(pos, after);
}

int16_t to_output(float x) {
    float v = x * kOutputScale;
    if (v >= kOutputScale) return 32767;
    if (v <= -kOutputScale) return -32767;
    if (!(v == v)) return 0;         // NaN from a damaged sound plays as silence
    return static_cast<int16_t>(v);  // truncation toward zero
}

void tick_callback(uint32_t, void* user) { sound_tick(*static_cast<SoundMixer*>(user)); }

// Exit paths that skip the viewer's own shutdown (a fatal exit of the sp layer, the window
// system's exit on a lost display) must stop the tick before anything it reads is freed.
void stop_timer_callback(void* mixer) { stop_sound_timer(*static_cast<SoundMixer*>(mixer)); }

// Registered once the timer first starts, so it runs before the destructors of every
// record built earlier (the sound table, the discharge records that own the voices).
void stop_viewer_timer_at_exit() { stop_sound_timer(sound_mixer); }

// Undoes what open_sound_output registered and frees the handle.
void free_handle(SoundMixer& mixer) {
    spRemoveExitCallback(stop_timer_callback, &mixer);
    spFreeAudio(mixer.audio_handle);
    mixer.audio_handle = nullptr;
}

}  // namespace

void reset_sound_mixer(SoundMixer& mixer) {
    stop_sound_timer(mixer);
    if (mixer.audio_handle) {
        spCloseAudioDevice(mixer.audio_handle);
        free_handle(mixer);
    }
    mixer.time_step = 0.033f;
    mixer.block_frames = 0;
    mixer.tick_period_ms = 0;
    mixer.mix_ring_seconds = 0.0f;
    mixer.mix_ring_length = 0;
    mixer.mix_ring.clear();
    mixer.mix_position = 0;
    mixer.background_position = 0;
    mixer.mix_block.clear();
    mixer.output_block.clear();
    mixer.sounds = nullptr;
    mixer.voices.clear();
}

void allocate_sound_buffers(SoundMixer& mixer, float time_step, float mix_ring_seconds) {
    mixer.time_step = time_step;
    mixer.mix_ring_seconds = mix_ring_seconds;
    // Products are formed in double from the float settings: 0.033f is 0.0329999998..., so
    // the default block is 527 values and the period 32 ms (float products would round up
    // to 528 and 33 first).
    double frames = static_cast<double>(kSoundOutputRate) * static_cast<double>(time_step);
    double period = static_cast<double>(time_step) * 1000.0;
    double ring = static_cast<double>(kSoundOutputRate) * static_cast<double>(mix_ring_seconds);
    // A step below one sample, a negative step or an absurd one must still give a block
    // the device can take and a timer that runs; NaN fails every comparison and gets 1.
    constexpr double kMaxBlockValues = 16000.0 * 60.0;
    constexpr double kMaxRingValues = 16000.0 * 3600.0;
    mixer.block_frames = frames >= 1.0 ? static_cast<int32_t>(std::min(frames, kMaxBlockValues)) : 1;
    mixer.tick_period_ms = period >= 1.0 ? static_cast<uint32_t>(std::min(period, 60000.0)) : 1;
    int32_t ring_length = ring >= 1.0 ? static_cast<int32_t>(std::min(ring, kMaxRingValues)) : 0;
    // Every block is cleared before it is summed, so a longer ring changes no output; a
    // shorter one would make a block overlap itself.
    mixer.mix_ring_length = std::max(ring_length, mixer.block_frames);
    mixer.mix_ring.assign(static_cast<size_t>(mixer.mix_ring_length), 0.0f);
    mixer.mix_block.assign(static_cast<size_t>(mixer.block_frames), 0.0f);
    mixer.output_block.assign(static_cast<size_t>(mixer.block_frames), 0);
    mixer.mix_position = 0;
}

int open_sound_output(SoundMixer& mixer, int rate, int bits, int frames, int stereo,
                      const std::string& target) {
    AudioHandle* handle = spInitAudio();
    mixer.audio_handle = handle;
    // Exit callbacks run newest first: this one before the handle's spTerminateAudio.
    spAddExitCallback(stop_timer_callback, &mixer);
    spSetAudioOutputTarget(handle, target.c_str());

    double want_rate = static_cast<double>(rate), got_rate = 0.0;
    spSetAudioSamplingRate(handle, want_rate);
    spGetAudioSamplingRate(handle, &got_rate);
    if (want_rate != got_rate) {
        std::printf("sp error! sample rate, %f != %f\n", want_rate, got_rate);
        return 0;
    }
    int32_t want_channels = stereo == 1 ? 2 : 1, got_channels = 0;
    spSetAudioChannels(handle, want_channels);
    spGetAudioChannels(handle, &got_channels);
    if (want_channels != got_channels) {
        std::printf("sp error! channel, %d != %d\n", want_channels, got_channels);
        return 0;
    }
    int32_t want_size = bits == 16 ? frames * 2 : frames, got_size = 0;
    spSetAudioBufferSize(handle, want_size);
    spGetAudioBufferSize(handle, &got_size);
    if (want_size != got_size) {
        std::printf("sp error! buf size, %d != %d\n", want_size, got_size);
        return 0;
    }
    int32_t got_bits = 0;
    spSetAudioSampleBits(handle, bits);
    spGetAudioSampleBits(handle, &got_bits);
    if (bits != got_bits) {
        std::printf("sp error! bit, %d != %d\n", bits, got_bits);
        return 0;
    }
    std::fflush(stdout);
    if (spOpenAudioDevice(handle, "w") == 1) return 1;
    std::printf("no sound output (%s could not be opened); the viewer runs without sound\n", target.c_str());
    std::fflush(stdout);
    return 0;
}

void reset_sound_mix(SoundMixer& mixer) {
    mixer.mix_position = 0;
    std::fill(mixer.mix_ring.begin(), mixer.mix_ring.end(), 0.0f);
    mixer.limiter = Limiter{};
}

void mix_sound_block(SoundMixer& mixer, const std::vector<Sound>& sounds, ThunderVoice* const* voices,
                     int voice_count) {
    SoundMixer& m = mixer;
    const int32_t ring = m.mix_ring_length;
    const int32_t block = m.block_frames;
    if (block <= 0 || ring < block || m.mix_ring.size() < static_cast<size_t>(ring) ||
        m.mix_block.size() < static_cast<size_t>(block) ||
        m.output_block.size() < static_cast<size_t>(block)) {
        return;  // buffers not allocated
    }
    if (m.mix_position < 0 || m.mix_position >= ring) m.mix_position = 0;

    for (int32_t k = 0, r = m.mix_position; k < block; ++k) {
        m.mix_ring[static_cast<size_t>(r)] = 0.0f;
        if (++r == ring) r = 0;
    }
    for (int v = 0; voices && v < voice_count; ++v) {
        if (voices[v]) mix_voice(m, sounds, *voices[v]);
    }
    // A scene with a single sound has thunder and no background loop.
    if (const Sound* background = playable(sounds, kBackgroundSound)) {
        if (m.background_position < 0 || m.background_position >= background->length)
            m.background_position = 0;
        add_sound(m, *background, m.background_position, 1.0f, true);
        m.background_position =
            static_cast<int32_t>((static_cast<int64_t>(m.background_position) + block) % background->length);
    }
    for (int32_t k = 0, r = m.mix_position; k < block; ++k) {
        m.mix_block[static_cast<size_t>(k)] = m.mix_ring[static_cast<size_t>(r)];
        if (++r == ring) r = 0;
    }
    limit_block(m.limiter, m.mix_block.data(), block, kSoundOutputRate);
    for (int32_t k = 0; k < block; ++k)
        m.output_block[static_cast<size_t>(k)] = to_output(m.mix_block[static_cast<size_t>(k)]);
    m.mix_position = static_cast<int32_t>((static_cast<int64_t>(m.mix_position) + block) % ring);
}

void sound_tick(SoundMixer& mixer) {
    static const std::vector<Sound> no_sounds;
    const std::vector<Sound>& sounds = mixer.sounds ? *mixer.sounds : no_sounds;
    mix_sound_block(mixer, sounds, mixer.voices.data(), static_cast<int>(mixer.voices.size()));
    spWriteAudio(mixer.audio_handle, mixer.output_block.data(), mixer.block_frames);
}

int start_sound_timer(SoundMixer& mixer, const std::vector<Sound>& sounds,
                      std::vector<ThunderVoice*> voices) {
    if (mixer.sound_timer != 0 || mixer.block_frames <= 0) return 0;
    mixer.sounds = &sounds;
    mixer.voices = std::move(voices);
    static bool exit_hook = false;
    if (&mixer == &sound_mixer && !exit_hook) {
        std::atexit(stop_viewer_timer_at_exit);
        exit_hook = true;
    }
    mixer.sound_timer =
        timer_set_event(mixer.timers, mixer.tick_period_ms, kSoundTimerResolutionMs, tick_callback, &mixer);
    return mixer.sound_timer != 0 ? 1 : 0;
}

void stop_sound_timer(SoundMixer& mixer) {
    if (mixer.sound_timer == 0) return;
    // A tick may wait in the write for a buffer the device never returns; the join below
    // would then wait for ever.
    spInterruptAudio(mixer.audio_handle);
    timer_kill_event(mixer.timers, mixer.sound_timer);
    spResumeAudio(mixer.audio_handle);
    mixer.sound_timer = 0;
}

void release_sound_output(SoundMixer& mixer) {
    // The timer goes first so that no tick can write through a freed handle.
    stop_sound_timer(mixer);
    if (mixer.audio_handle) free_handle(mixer);
}

void drain_sound_output(SoundMixer& mixer) {
    stop_sound_timer(mixer);
    if (mixer.audio_handle) {
        spCloseAudioDevice(mixer.audio_handle);
        free_handle(mixer);
    }
}
