// What every fuzz target shares: trelk's fatal messages (err, errx, verr,
// verrx) become a C++ exception that the target catches, so an orderly
// stop ends one input instead of the whole fuzzer, and a few helpers for
// temporary files and invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Thrown in place of ending the process; status is what err was given.
struct fatal_stop {
	int status;
};

// Makes a fresh temporary folder below TMPDIR (or /tmp) for the whole
// fuzzing process and returns its path.
std::string fuzz_folder(const char* name);

// Aborts, naming what, when condition does not hold: a broken invariant is
// a finding just like a crash.
void fuzz_check(bool condition, const char* what);

// Removes everything below folder (never following a symbolic link),
// leaving folder itself in place.
void empty_folder(const std::string& folder);

// Writes size bytes of data to path, replacing the file.
void write_file_whole(const std::string& path, const uint8_t* data, size_t size);

// Puts the answer into a new socket pair and shuts its sending side, so
// that the reader of fds[0] meets the end of the stream after it.  The
// reading side does not block on writes: a full pair ends the run like a
// dead server.  False when no pair can be made.
bool load_answer_into_socket_pair(int fds[2], const uint8_t* data, size_t size);
