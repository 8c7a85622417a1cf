// Transport: the one connection to the server (TCP, with TLS for https),
// sending a command, and what both protocols share about answers.
#pragma once

#include "run/run.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

// Closes whatever connection exists and opens a fresh one to host:port,
// with a TLS handshake for https.  Every failure ends the run.
void reset_connection(connection& conn);

// The TLS layer of an https connection: a new context and connection over
// conn.socket_fd, handshake included.  Called by reset_connection.
void start_tls(connection& conn);

// A tls_fingerprint= value as 64 lower-case hexadecimal digits, colons
// dropped; empty for an empty value.  Ends the run on anything else.
std::string checked_fingerprint(std::string_view text);

// True when an https run does not check the server's certificate at all:
// SSL_NO_VERIFY_PEER is set and no fingerprint is pinned.
bool certificate_unverified(const connection& conn);

// The server as a URL or a Host header names it: the host, in brackets
// when it is an IPv6 address, with ":port" unless the port is the
// protocol's own (3690, 80, 443).
std::string server_authority(const connection& conn);

// Writes the whole command (NUL-terminated; null does nothing), echoing it
// at verbosity 3 and above.  Returns only when every byte is written.
void send_command(connection& conn, const char* command);

// Ends the connection at the end of the run: TLS shutdown, close, free.
void close_connection(connection& conn);

// Called after a read failed: ends the run with a clear message when the
// read waited conn.read_time_limit seconds without a byte.
void check_read_time_limit(const connection& conn);

// Does conn.idle_work, a piece at a time, for as long as nothing can be
// read; drops it once it is done.
void work_while_waiting(connection& conn);

// Reads once from the plain socket (idle work done first), again after an
// interruption; ends the
// run when the read time limit passed.  Returns the count, 0 at the end of
// the stream, -1 on an error with errno set.
ssize_t read_socket(connection& conn, char* area, size_t size);

// Grows the response buffer by half its blocks of 4096 bytes (at least
// one), keeping its contents.
// The message names the reader that asked for it.
void grow_response(connection& conn, const char* message);

// Writes a failed answer, text up to its first NUL byte, to standard error
// as "\n<program>: Command Failure: %s\n".
void report_command_failure(const char* text);

// True when the text at p, which ends at end (null: at a NUL byte), begins
// with prefix; false for a null p.
bool begins_with(const char* p, const char* end, std::string_view prefix);
