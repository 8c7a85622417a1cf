// Fuzz target: the HTTP reader and its chunk decoding.  A server thread on
// 127.0.0.1 answers every connection with the input (after its first byte)
// and then ends its side of the stream; process_command_http connects to it
// as it would to Apache and takes the answers apart.  The first input byte
// chooses how many answers the reader waits for.  The result is then
// measured the way the content phase measures GET answers.

#include "fuzz_support.h"

#include "dav/dav.h"
#include "local/local.h"

#include <sys/socket.h>

#include <netinet/in.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

static int listener = -1;
static uint16_t port;
static std::mutex answer_lock;
static std::string answer;	// what every connection is answered with

// Answers one connection: the whole answer, the end of the stream, then
// waits for the client to close before closing too.
static void
serve_one(int fd)
{
	std::string text;
	{
		std::lock_guard<std::mutex> hold(answer_lock);
		text = answer;
	}
	for (size_t done = 0; done < text.size();) {
		ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
		if (n <= 0)
			break;
		done += static_cast<size_t>(n);
	}
	shutdown(fd, SHUT_WR);
	char sink[4096];
	while (read(fd, sink, sizeof(sink)) > 0)
		;
	close(fd);
}

// The server: one connection at a time, for the life of the fuzzer.
static void
serve()
{
	for (;;) {
		int fd = accept(listener, nullptr, nullptr);
		if (fd >= 0)
			serve_one(fd);
	}
}

extern "C" int
LLVMFuzzerInitialize(int* argc, char*** argv)
{
	sockaddr_in address{};
	socklen_t length = sizeof(address);

	listener = socket(AF_INET, SOCK_STREAM, 0);
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	fuzz_check(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0, "bind");
	fuzz_check(listen(listener, 16) == 0, "listen");
	getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
	port = ntohs(address.sin_port);
	std::thread(serve).detach();
	return 0;
}

// Measures the answers as GET answers of count files of a few bytes each,
// as the content phase does; the sizes come from the input too.
static void
measure_answers(const connection& conn, int count, const uint8_t* data, size_t size)
{
	catalogue cat;

	for (int i = 0; i < count; i++) {
		file_node& node = new_file_node(cat);
		node.download = 1;
		node.size = size > static_cast<size_t>(i) ? data[i] : 0;
	}
	const char* response = conn.response.data();
	int64_t total = size_webdav_answers(response, response + conn.response.length(), cat, 0, count - 1);
	fuzz_check(total <= static_cast<int64_t>(conn.response.length()), "measured answers lie in the buffer");
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 1)
		return 0;
	int count = 1 + data[0] % 3;
	{
		std::lock_guard<std::mutex> hold(answer_lock);
		answer.assign(reinterpret_cast<const char*>(data + 1), size - 1);
	}
	connection conn;
	conn.protocol = protocol_http;
	conn.host = "127.0.0.1";
	conn.port = port;
	conn.verbosity = 0;
	conn.response = response_buffer(4096);
	bool complete = true;
	try {
		process_command_http(conn, "GET /f HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", count);
	} catch (const fatal_stop&) {
		complete = false;
	}
	if (conn.socket_fd > 0)
		close(conn.socket_fd);
	fuzz_check(conn.response.length() <= conn.response.capacity(),
	    "the answers fit their buffer");
	fuzz_check(conn.response.data()[conn.response.length()] == '\0', "a zero byte follows the answers");
	if (complete)
		measure_answers(conn, count, data, size);
	return 0;
}
