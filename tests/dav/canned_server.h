// A scripted HTTP server on 127.0.0.1 for the WebDAV tests: a child
// process that, for each script entry, reads a whole request text, records
// it, and answers with canned bytes in the given pieces, then ends the
// connection the chosen way.  A connection left open serves the next entry
// when the client sends its request there; a new connection replaces it.

#pragma once

#include "dav/dav.h"
#include "run/run.h"

#include <sys/socket.h>
#include <sys/wait.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Each fixture header has a namespace of its own, so that two headers
// with a class of the same name never clash in the one test binary.
namespace dav_fixture {

struct canned_reply {
	enum ending { stay_open, close_early, reset };

	std::vector<std::string> pieces;	// written one after another
	ending end = stay_open;
};

// The reply text cut into pieces of at most size bytes.
inline std::vector<std::string>
cut_every(const std::string& text, size_t size)
{
	std::vector<std::string> pieces;
	for (size_t at = 0; at < text.size(); at += size)
		pieces.push_back(text.substr(at, size));
	return pieces;
}

class canned_server {
public:
	explicit canned_server(std::vector<canned_reply> replies)
	{
		char dir[] = "/tmp/trelk-dav-XXXXXX";
		EXPECT_NE(mkdtemp(dir), nullptr);
		requests_path = std::string(dir) + "/requests";
		connections_path = std::string(dir) + "/connections";
		listener = socket(AF_INET, SOCK_STREAM, 0);
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
		EXPECT_EQ(listen(listener, 16), 0);
		socklen_t length = sizeof(address);
		getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
		port = ntohs(address.sin_port);
		fflush(nullptr);
		child = fork();
		if (child == 0) {
			signal(SIGPIPE, SIG_IGN);
			int fd = -1;
			for (const canned_reply& reply : replies)
				serve(reply, fd);
			drain(fd);
			_exit(0);
		}
		close(listener);
	}

	~canned_server()
	{
		kill(child, SIGKILL);
		waitpid(child, nullptr, 0);
		std::string dir = requests_path.substr(0, requests_path.rfind('/'));
		unlink(requests_path.c_str());
		unlink(connections_path.c_str());
		rmdir(dir.c_str());
	}

	// Every request text received so far, one after another.
	std::string
	requests() const
	{
		std::ifstream in(requests_path, std::ios::binary);
		std::stringstream text;
		text << in.rdbuf();
		return text.str();
	}

	// How many connections the server has accepted so far.
	int
	connections() const
	{
		std::ifstream in(connections_path, std::ios::binary);
		std::stringstream text;
		text << in.rdbuf();
		return static_cast<int>(text.str().size());
	}

	// A connection record aimed at the server, with a response buffer of
	// blocks 4096-byte blocks.
	connection
	client(uint32_t blocks = 4) const
	{
		connection conn;
		conn.host = "127.0.0.1";
		conn.port = port;
		conn.protocol = protocol_http;
		conn.ops = &webdav_protocol;
		conn.verbosity = 1;
		conn.response = response_buffer(size_t(blocks) * 4096);
		return conn;
	}

	uint16_t port = 0;

private:
	// True once text holds a whole request: a header block, and for a
	// chunked body its last chunk.
	static bool
	whole_request(const std::string& text)
	{
		if (text.find("Transfer-Encoding: chunked") != std::string::npos)
			return text.size() >= 7 && text.compare(text.size() - 7, 7, "\r\n0\r\n\r\n") == 0;
		return text.size() >= 4 && text.compare(text.size() - 4, 4, "\r\n\r\n") == 0;
	}

	// Accepts the next connection and counts it.
	int
	accept_next()
	{
		int fd = accept(listener, nullptr, nullptr);
		int on = 1;
		setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
		std::ofstream(connections_path, std::ios::binary | std::ios::app) << "c";
		return fd;
	}

	// Reads the next whole request text: on the open connection fd while
	// the client uses it, else on the next new one.
	std::string
	next_request(int& fd)
	{
		std::string request;
		char buffer[4096];
		while (!whole_request(request)) {
			if (fd < 0)
				fd = accept_next();
			pollfd ready[2] = {{fd, POLLIN, 0}, {listener, POLLIN, 0}};
			poll(ready, request.empty() ? 2 : 1, -1);
			if (request.empty() && !(ready[0].revents & POLLIN) && (ready[1].revents & POLLIN)) {
				close(fd);
				fd = -1;
				continue;
			}
			ssize_t count = read(fd, buffer, sizeof(buffer));
			if (count <= 0) {
				close(fd);
				fd = -1;
				if (!request.empty())
					break;
				continue;
			}
			request.append(buffer, static_cast<size_t>(count));
		}
		return request;
	}

	void
	serve(const canned_reply& reply, int& fd)
	{
		std::string request = next_request(fd);
		std::ofstream(requests_path, std::ios::binary | std::ios::app) << request;
		if (fd < 0)
			return;
		for (size_t i = 0; i < reply.pieces.size(); i++) {
			// A pause between pieces makes each one a read of its own
			// as a rule; the results never depend on it.
			if (i > 0)
				usleep(1000);
			write(fd, reply.pieces[i].data(), reply.pieces[i].size());
		}
		if (reply.end == canned_reply::stay_open)
			return;
		if (reply.end == canned_reply::reset) {
			linger hard{1, 0};
			setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
		}
		close(fd);
		fd = -1;
	}

	// Keeps the last connection open until the client closes it,
	// recording what else it sends.
	void
	drain(int fd)
	{
		char buffer[4096];
		if (fd < 0)
			return;
		for (ssize_t count; (count = read(fd, buffer, sizeof(buffer))) > 0;)
			std::ofstream(requests_path, std::ios::binary | std::ios::app).write(buffer, count);
		close(fd);
	}

	int listener = -1;
	pid_t child = -1;
	std::string requests_path;
	std::string connections_path;
};

}  // namespace dav_fixture

using namespace dav_fixture;
