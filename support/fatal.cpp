// fatal.cpp -- fatal input errors: print, then exit or hand to a test handler
#include "support/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace {

FatalHandler current_handler = nullptr;

[[noreturn]] void finish(FILE* stream, const char* format, va_list args) {
    char buffer[2048];
    vsnprintf(buffer, sizeof buffer, format, args);
    fputs(buffer, stream);
    fflush(stream);
    if (current_handler) current_handler(buffer);
    // A handler that returns would leave the reader in an undefined state.
    exit(1);
}

}  // namespace

void fatal_input_error(const char* format, ...) {
    fflush(stdout);
    va_list args;
    va_start(args, format);
    finish(stderr, format, args);
}

void fatal_input_error_stdout(const char* format, ...) {
    va_list args;
    va_start(args, format);
    finish(stdout, format, args);
}

FatalHandler set_fatal_handler(FatalHandler handler) {
    FatalHandler old = current_handler;
    current_handler = handler;
    return old;
}

void throw_fatal_handler(const std::string& message) { throw FatalInputError{message}; }
