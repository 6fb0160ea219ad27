// Console: the program's name, the progress channel and the two fatal exits.
//
// Results go to standard output, errors and warnings to standard error, and
// the progress display (countdown, upload percentage) to descriptor 3 when the
// caller opened it for writing, else to standard output's descriptor.
#pragma once

// Last path component of the name the program was started under.
extern const char* program_name;
// Descriptor that progress_printf writes to: 3, or standard output's.
extern int progress_fd;

// Reserves the standard descriptors, takes program_name from argv0, then
// selects the progress channel; once per run.
void console_start(const char* argv0);

// Opens each of descriptors 0, 1 and 2 that is closed on /dev/null, so that
// neither the camera nor the output file can take its number and receive
// what is meant for a standard stream.
void reserve_standard_descriptors();

// Sets program_name to the basename of argv0 (kept in a static buffer).
void set_program_name(const char* argv0);

// Probes descriptor 3 with an empty write; falls back to standard output's descriptor.
void select_progress_channel();

// Formats into a 2000-byte buffer (cut at 1999 characters), writes it to
// progress_fd in one write(), fsync()s, and returns what write() returned.
[[gnu::format(printf, 1, 2)]] int progress_printf(const char* format, ...);

// Prints the message as formatted and the "Try running" hint on standard
// error, then exits with status 3.
[[noreturn, gnu::format(printf, 1, 2)]] void usage_error(const char* format, ...);

// Prints "\n<type> image write failed!\n" on standard error with the current
// output type's display name, then exits with status 2.
[[noreturn]] void write_failed();
