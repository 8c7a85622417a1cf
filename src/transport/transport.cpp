// The one connection to the server: opening it, sending commands and
// closing it.

#include "transport/transport.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <err.h>

#include <openssl/err.h>

// How many writes in a row may fail without an error before the connection
// is given up (a TLS write can report a failure with errno left at 0).
static constexpr int silent_write_limit = 64;

struct addrinfo_delete {
	void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

// The host name or address as the messages show it.
static const char*
host_text(const connection& conn)
{
	return conn.host ? conn.host->c_str() : "";
}

// Closes the descriptor of an earlier connection; one that is already
// closed (EBADF) is no error.
static void
close_previous(connection& conn)
{
	if (conn.socket_fd == 0)
		return;
	if (close(conn.socket_fd) != 0 && errno != EBADF)
		err(1, "close_connection");
	conn.socket_fd = -1;
}

// Resolves host and port; returns the address list, of which only the
// first address is ever used.
static std::unique_ptr<addrinfo, addrinfo_delete>
resolve(const connection& conn)
{
	char port[10];
	addrinfo hints{};
	addrinfo* list = nullptr;

	snprintf(port, sizeof(port), "%u", conn.port);
	hints.ai_family = conn.family;
	hints.ai_socktype = SOCK_STREAM;
	int result = getaddrinfo(conn.host ? conn.host->c_str() : "", port, &hints, &list);
	if (result != 0)
		errx(1, "Cannot find the address of %s: %s", conn.host ? conn.host->c_str() : "", gai_strerror(result));
	return std::unique_ptr<addrinfo, addrinfo_delete>(list);
}

// Opens the socket and connects it to the first address of the list.
static void
connect_first(connection& conn, const addrinfo* address)
{
	conn.socket_fd = -1;
	conn.socket_fd = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
	if (conn.socket_fd < 0)
		err(1, "socket failure");
	if (connect(conn.socket_fd, address->ai_addr, address->ai_addrlen) < 0)
		err(1, "connect failure to %s port %u", conn.host ? conn.host->c_str() : "", conn.port);
}

// Keep-alive on, 32768-byte send and receive buffers.
static void
set_socket_options(const connection& conn)
{
	int on = 1;
	int size = 32768;

	if (setsockopt(conn.socket_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0)
		err(1, "setsockopt SO_KEEPALIVE error");
	if (setsockopt(conn.socket_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) != 0)
		err(1, "setsockopt SO_SNDBUF error");
	if (setsockopt(conn.socket_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) != 0)
		err(1, "setsockopt SO_RCVBUF error");
}

// Bounds every read, the TLS handshake's included, by read_time_limit.
static void
set_read_time_limit(const connection& conn)
{
	struct timeval limit = {conn.read_time_limit, 0};

	if (setsockopt(conn.socket_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) != 0)
		err(1, "setsockopt SO_RCVTIMEO error");
}

void
check_read_time_limit(const connection& conn)
{
	if (errno == EAGAIN || errno == EWOULDBLOCK)
		errx(1, "No answer from %s in %d seconds.  Quitting.",
		    conn.host ? conn.host->c_str() : "", conn.read_time_limit);
}

void
work_while_waiting(connection& conn)
{
	if (!conn.idle_work || (conn.tls && SSL_pending(conn.tls.get()) > 0))
		return;
	pollfd ready = {conn.socket_fd, POLLIN, 0};
	while (poll(&ready, 1, 0) == 0)
		if (!conn.idle_work()) {
			conn.idle_work = nullptr;
			return;
		}
}

// TLS reads that fail without a system error are tried again this often.
static constexpr int tls_silent_failure_limit = 10;

// One read from the plain socket.
static ssize_t
read_plain(connection& conn, char* area, size_t size)
{
	for (;;) {
		ssize_t count = read(conn.socket_fd, area, size);
		if (count >= 0)
			return count;
		if (errno != EINTR) {
			check_read_time_limit(conn);
			return count;
		}
	}
}

// True when an OpenSSL error says the peer closed without a TLS close
// notification, which ends the stream like a plain close.
static bool
is_unexpected_eof()
{
#ifdef SSL_R_UNEXPECTED_EOF_WHILE_READING
	unsigned long e = ERR_peek_error();
	return ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
#else
	return false;
#endif
}

// One read from the TLS connection: the count, 0 when the server closed,
// -1 on a failure with errno set.  Failures without a system error are
// read again, a bounded number of times.
static ssize_t
read_tls(connection& conn, char* into, size_t room)
{
	for (int silent = 0;;) {
		errno = 0;
		ERR_clear_error();
		int count = SSL_read(conn.tls.get(), into, static_cast<int>(room));
		if (count > 0)
			return count;
		int error = SSL_get_error(conn.tls.get(), count);
		if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && errno == 0) ||
		    is_unexpected_eof())
			return 0;
		if (errno == EINTR)
			continue;
		check_read_time_limit(conn);
		if (errno != 0)
			return -1;
		if (++silent == tls_silent_failure_limit) {
			const char* reason = ERR_reason_error_string(ERR_peek_error());
			errx(1, "TLS read from %s failed %d times in a row (%s).  Quitting.",
			    conn.host ? conn.host->c_str() : "", silent,
			    reason ? reason : "no reason given");
		}
	}
}

ssize_t
read_stream(connection& conn, char* area, size_t size)
{
	work_while_waiting(conn);
	return conn.tls ? read_tls(conn, area, size) : read_plain(conn, area, size);
}

ssize_t
write_now(connection& conn, const char* data, size_t length)
{
	int flags = MSG_DONTWAIT;
#ifdef MSG_NOSIGNAL
	flags |= MSG_NOSIGNAL;
#endif
	return send(conn.socket_fd, data, length, flags);
}

void
reset_connection(connection& conn)
{
	// A peer that closes must end the run with a message, never by a
	// signal: OpenSSL writes its alerts with write(), which a closed
	// socket answers with SIGPIPE.  Ignored, the write fails with EPIPE.
	signal(SIGPIPE, SIG_IGN);
	close_previous(conn);
	conn.session.reset();
	auto addresses = resolve(conn);
	connect_first(conn, addresses.get());
	addresses.reset();
	set_read_time_limit(conn);
	if (conn.protocol == protocol_https)
		start_tls(conn);
	set_socket_options(conn);
}

std::string
server_authority(const connection& conn)
{
	std::string authority = conn.host.value_or("");
	uint16_t standard = conn.protocol == protocol_svn ? 3690 : conn.protocol == protocol_http ? 80 : 443;

	// Only an IPv6 address holds a colon; a name or an IPv4 address never.
	if (authority.find(':') != std::string::npos)
		authority = "[" + authority + "]";
	if (conn.port != standard)
		authority += ":" + std::to_string(conn.port);
	return authority;
}

// Writes up to length bytes once; returns the count written, or -1 with
// errno set.  A peer that has gone away is an error, never a signal.
static ssize_t
write_once(connection& conn, const char* data, size_t length)
{
	errno = 0;
	if (conn.protocol == protocol_https) {
		int count = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
		return SSL_write(conn.tls.get(), data, count);
	}
#ifdef MSG_NOSIGNAL
	ssize_t written = send(conn.socket_fd, data, length, MSG_NOSIGNAL);
	if (written >= 0 || errno != ENOTSOCK)
		return written;
#endif
	return write(conn.socket_fd, data, length);
}

// OpenSSL's reason for the last failure, or a stand-in.
static const char*
tls_reason()
{
	const char* reason = ERR_reason_error_string(ERR_peek_last_error());

	return reason ? reason : "no reason given";
}

// True when the failed write says the server has gone.
static bool
peer_gone(int error)
{
	return error == EPIPE || error == ECONNRESET;
}

bool
try_send_command(connection& conn, const char* command)
{
	if (command == nullptr)
		return true;
	size_t length = strlen(command);
	if (conn.verbosity >= 3) {
		printf("<< %zu bytes\n%s", length, command);
		fflush(stdout);
	}
	size_t written = 0;
	int silent_failures = 0;
	while (written < length) {
		ERR_clear_error();
		ssize_t count = write_once(conn, command + written, length - written);
		if (count > 0) {
			written += count;
			silent_failures = 0;
			continue;
		}
		if (count < 0 && errno == EINTR)
			continue;
		if (peer_gone(errno))
			return false;
		if (errno != 0)
			err(1, "send command");
		// No system error to show: a TLS write failed on its own.
		if (count == 0)
			return false;
		if (++silent_failures > silent_write_limit)
			errx(1, "TLS write to %s failed %d times in a row (%s).  Quitting.", host_text(conn),
			    silent_failures, tls_reason());
	}
	return true;
}

void
send_command(connection& conn, const char* command)
{
	if (try_send_command(conn, command))
		return;
	if (errno != 0)
		err(1, "send command");
	errx(1, "send command: %s closed the connection (%s).  Quitting.", host_text(conn), tls_reason());
}

bool
idle_connection_ended(const connection& conn)
{
	if (conn.socket_fd <= 0)
		return true;
	if (conn.tls && SSL_pending(conn.tls.get()) > 0)
		return true;
	pollfd ready = {conn.socket_fd, POLLIN, 0};
	return poll(&ready, 1, 0) != 0;
}

void
close_connection(connection& conn)
{
	if (conn.tls)
		SSL_shutdown(conn.tls.get());
	if (conn.socket_fd != 0 && close(conn.socket_fd) != 0 && errno != EBADF)
		err(1, "close connection failed");
	conn.socket_fd = -1;
	conn.tls.reset();
	conn.tls_context.reset();
}

response_buffer::response_buffer(size_t capacity)
{
	reserve(0, capacity, "response buffer malloc");
	set_length(0);
}

void
response_buffer::set_length(size_t length)
{
	length_ = length;
	text_.get()[length] = '\0';
}

void
response_buffer::reserve(size_t used, size_t count, const char* message)
{
	if (count > SIZE_MAX / 2 - used)
		errx(1, "%s: an answer of %zu bytes is too large", message, used + count);
	size_t room = capacity_;
	while (used + count > room)
		room += std::max<size_t>(4096, room / 2);
	if (room == capacity_ && text_)
		return;
	char* grown = static_cast<char*>(realloc(text_.get(), room + 1));
	if (grown == nullptr)
		err(1, "%s", message);
	(void)text_.release();
	text_.reset(grown);
	if (capacity_ == 0)
		grown[0] = '\0';
	capacity_ = room;
}

void
response_buffer::assign(std::string_view text, const char* message)
{
	reserve(0, text.size(), message);
	memcpy(text_.get(), text.data(), text.size());
	set_length(text.size());
}

bool
begins_with(const char* p, const char* end, std::string_view prefix)
{
	if (p == nullptr || (end != nullptr && end - p < static_cast<ptrdiff_t>(prefix.size())))
		return false;
	return strncmp(p, prefix.data(), prefix.size()) == 0;
}

// The name the program was started by, as err(3) shows it.
static const char*
program_name()
{
#ifdef __GLIBC__
	return program_invocation_short_name;
#else
	return getprogname();
#endif
}

void
report_command_failure(const char* text)
{
	fprintf(stderr, "\n%s: Command Failure: %s\n", program_name(), text);
}
