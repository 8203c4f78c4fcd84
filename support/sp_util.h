// sp_util.h -- checked allocation, message channels and exit callbacks for the sp audio layer
#pragma once

#include <cstddef>
#include <cstdint>

// Debug messages at or below this level are written; -1 drops them all.
constexpr int32_t kSpDefaultDebugLevel = -1;

// A routine run by a fatal exit, with the data it was registered with.
using SpExitCallback = void (*)(void* data);

// Process-wide state of the utility library: the debug filter and the exit callback list.
struct SpUtilState {
    int32_t debug_level = kSpDefaultDebugLevel;
    int32_t callback_capacity = 0;              // slots allocated in both arrays
    int32_t callback_count = 0;                 // slots used, holes included
    SpExitCallback* callbacks = nullptr;        // absent until the first registration
    void** callback_data = nullptr;
};

// The one utility-library state record.
extern SpUtilState sp_util_state;

// Drops the callback list and restores the default debug level.
void reset_sp_util();

// malloc that treats size <= 0 as 1 and ends the program ("Can't malloc %d bytes\n") on failure.
void* xspMalloc(int size);

// realloc with the same size rule; a null block is allocated fresh; failure is fatal.
void* xspRealloc(void* block, int size);

// Releases a block from xspMalloc/xspRealloc; null is ignored.
void xspFree(void* block);

// Formats into a 1024-byte buffer and writes it to standard error as it is.
void spErrorMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Like spErrorMessage, only when level <= debug_level; a non-empty name prefixes "name: ".
void spDebugMessage(int level, const char* name, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Appends (callback, data) to the exit list; 0 for a null callback, else 1.
int spAddExitCallback(SpExitCallback callback, void* data);

// Empties the first slot holding exactly (callback, data); 1 when found, else 0.
int spRemoveExitCallback(SpExitCallback callback, void* data);

// Round half up: floor(x + 0.5).
double spRound(double x);

// Prints the message to standard error, runs the exit callbacks newest first, releases the
// list and ends the process with code.
[[noreturn]] void spFatalExit(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
