// fatal.h -- the single exit path for input that the viewer cannot go on without
#pragma once

#include <cstdarg>
#include <string>

// Called after the message has been printed. The default ends the process with
// status 1; tests and fuzz harnesses install one that throws FatalInputError so
// a bad file becomes a recoverable error. A handler must not return.
using FatalHandler = void (*)(const std::string& message);

struct FatalInputError {
    std::string message;
};

// Prints the formatted message to standard error (as written: add the newline
// in the format) and hands over to the installed handler.
[[noreturn]] void fatal_input_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Same, for the few fatal messages that the viewer prints to standard output.
[[noreturn]] void fatal_input_error_stdout(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Installs a handler (nullptr restores the default exit(1)); returns the previous one.
FatalHandler set_fatal_handler(FatalHandler handler);

// A handler that throws FatalInputError with the message; for tests and fuzzers.
[[noreturn]] void throw_fatal_handler(const std::string& message);
