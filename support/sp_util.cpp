// sp_util.cpp -- checked allocation, message channels and exit callbacks for the sp audio layer
#include "support/sp_util.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

SpUtilState sp_util_state;

namespace {

constexpr size_t kMessageBytes = 1024;  // one formatted message, truncated beyond this
constexpr int32_t kCallbackGrowth = 16;  // slots added each time the list fills

void release_callback_list(SpUtilState& state) {
    std::free(state.callbacks);
    std::free(state.callback_data);
    state.callbacks = nullptr;
    state.callback_data = nullptr;
    state.callback_capacity = 0;
    state.callback_count = 0;
}

void write_message(const char* text) {
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace

void reset_sp_util() {
    release_callback_list(sp_util_state);
    sp_util_state.debug_level = kSpDefaultDebugLevel;
}

void* xspMalloc(int size) {
    if (size <= 0) size = 1;
    void* block = std::malloc(static_cast<size_t>(size));
    if (!block) spFatalExit(-1, "Can't malloc %d bytes\n", size);
    return block;
}

void* xspRealloc(void* block, int size) {
    if (size <= 0) size = 1;
    if (!block) return xspMalloc(size);
    void* grown = std::realloc(block, static_cast<size_t>(size));
    if (!grown) spFatalExit(-1, "Can't realloc %d bytes\n", size);
    return grown;
}

void xspFree(void* block) { std::free(block); }

void spErrorMessage(const char* format, ...) {
    char buffer[kMessageBytes];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    write_message(buffer);
}

void spDebugMessage(int level, const char* name, const char* format, ...) {
    if (level > sp_util_state.debug_level) return;
    char message[kMessageBytes];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    // "name: message" in one write, so lines from two threads do not interleave mid-line.
    if (name && name[0] != '\0') {
        std::fprintf(stderr, "%s: %s", name, message);
        std::fflush(stderr);
    } else {
        write_message(message);
    }
}

int spAddExitCallback(SpExitCallback callback, void* data) {
    if (!callback) return 0;
    SpUtilState& state = sp_util_state;
    int32_t index = state.callback_count;
    spDebugMessage(10, "spAddExitCallback", "index = %d, num_callback = %d\n", index, state.callback_count);
    if (state.callback_count + 1 >= state.callback_capacity) {
        int32_t capacity = state.callback_capacity + kCallbackGrowth;
        int bytes_fn = static_cast<int>(sizeof(SpExitCallback)) * capacity;
        int bytes_data = static_cast<int>(sizeof(void*)) * capacity;
        state.callbacks = static_cast<SpExitCallback*>(xspRealloc(state.callbacks, bytes_fn));
        state.callback_data = static_cast<void**>(xspRealloc(state.callback_data, bytes_data));
        for (int32_t i = state.callback_capacity; i < capacity; ++i) {
            state.callbacks[i] = nullptr;
            state.callback_data[i] = nullptr;
        }
        state.callback_capacity = capacity;
    }
    state.callbacks[index] = callback;
    state.callback_data[index] = data;
    state.callback_count = index + 1;
    spDebugMessage(10, "spAddExitCallback", "done: index = %d, num_callback = %d\n", index, state.callback_count);
    return 1;
}

int spRemoveExitCallback(SpExitCallback callback, void* data) {
    SpUtilState& state = sp_util_state;
    if (!callback || !state.callbacks) return 0;
    for (int32_t i = 0; i < state.callback_count; ++i) {
        if (state.callbacks[i] == callback && state.callback_data[i] == data) {
            // The hole stays: indices of later registrations must not shift.
            state.callbacks[i] = nullptr;
            state.callback_data[i] = nullptr;
            return 1;
        }
    }
    return 0;
}

double spRound(double x) { return std::floor(x + 0.5); }

void spFatalExit(int code, const char* format, ...) {
    char buffer[kMessageBytes];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::fflush(stdout);
    write_message(buffer);

    // Newest first, so a later resource (an open output) closes before what it rests on.
    SpUtilState& state = sp_util_state;
    for (int32_t i = state.callback_count - 1; i >= 0; --i) {
        if (!state.callbacks || !state.callbacks[i]) continue;
        SpExitCallback callback = state.callbacks[i];
        void* data = state.callback_data[i];
        // A callback that itself unregisters (spFreeAudio) must not be called twice.
        state.callbacks[i] = nullptr;
        state.callback_data[i] = nullptr;
        callback(data);
    }
    release_callback_list(state);
    std::fflush(stdout);
    std::exit(code);
}
