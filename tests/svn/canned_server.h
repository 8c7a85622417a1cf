// A server that replays canned svn answers through a socket pair: every
// answer piece is one record, so each read of the client takes exactly one
// piece.  The server side never reads unless asked, and hanging up makes
// every later read of the client end the stream.
#pragma once

#include "local/local.h"
#include "run/run.h"
#include "svn/svn.h"

#include <sys/types.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Each fixture header has a namespace of its own, so that two headers
// with a class of the same name never clash in the one test binary.
namespace svn_fixture {

struct canned_server {
	int client_fd = -1;
	int server_fd = -1;
	connection conn;

	explicit canned_server(uint32_t blocks = 1)
	{
		int fds[2];
		if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0)
			abort();
		client_fd = fds[0];
		server_fd = fds[1];
		fcntl(server_fd, F_SETFL, O_NONBLOCK);
		// Room for every canned answer of a test before the client reads,
		// and for every command before the server side reads.
		int room = 4 << 20;
		setsockopt(server_fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
		setsockopt(client_fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
		conn.socket_fd = client_fd;
		conn.protocol = protocol_svn;
		conn.ops = &svn_protocol;
		conn.verbosity = 0;
		conn.host = "127.0.0.1";
		conn.branch = "base/head";
		conn.response = response_buffer(size_t(blocks) * 4096);
	}

	~canned_server()
	{
		close(client_fd);
		close(server_fd);
	}

	// Queues text in pieces of at most size bytes; the client takes each
	// piece in one read.
	void send_in_pieces(std::string_view text, size_t size)
	{
		for (size_t at = 0; at < text.size(); at += size) {
			std::string_view piece = text.substr(at, size);
			ASSERT_EQ(write(server_fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
		}
	}

	// Queues one piece of answer (longer ones in records of 4096 bytes, the
	// least the client reads at once).
	void send(std::string_view piece) { send_in_pieces(piece, 4096); }

	// After the queued pieces the client meets the end of the stream.
	void hang_up() { shutdown(server_fd, SHUT_WR); }

	// The commands the client has sent so far, one per write.
	std::vector<std::string> received()
	{
		std::vector<std::string> commands;
		char area[65536];
		ssize_t count;
		while ((count = read(server_fd, area, sizeof(area))) > 0)
			commands.emplace_back(area, count);
		return commands;
	}

	std::string response() const { return std::string(conn.response.data(), conn.response.length()); }
};

// The empty authentication request that precedes every command answer.
inline constexpr std::string_view svn_auth = "( success ( ( ) 0: ) ) ";

// One connection that the client opens after a failed attempt.  One that
// greets takes the client's greeting and login, then reads one command
// and sends answer (nothing when it is empty) and closes; one that does
// not greet closes as soon as it is accepted.
struct reopened_connection {
	std::string answer;
	bool greets = true;
};

// A loopback listener that serves the connections the client opens after
// failed attempts, in order, from a thread of its own (which in a death
// test goes on serving the forked child).  It points conn at itself.
struct reopen_server {
	int listener = -1;
	std::vector<reopened_connection> script;
	std::thread worker;
	std::atomic<bool> stopping{false};
	std::mutex lock;
	std::vector<std::string> commands;	// read on the reopened connections

	reopen_server(connection& conn, std::vector<reopened_connection> connections) : script(std::move(connections))
	{
		listener = socket(AF_INET, SOCK_STREAM, 0);
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t length = sizeof(address);
		if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
		    listen(listener, 8) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
			abort();
		conn.host = "127.0.0.1";
		conn.port = ntohs(address.sin_port);
		conn.family = AF_INET;
		worker = std::thread([this] { serve(); });
	}

	~reopen_server()
	{
		stopping = true;
		worker.join();
		close(listener);
	}

	// Reads one command: up to the end of a line.
	static std::string read_command(int fd)
	{
		std::string text;
		char area[65536];
		ssize_t count;
		while ((text.empty() || text.back() != '\n') && (count = read(fd, area, sizeof(area))) > 0)
			text.append(area, count);
		return text;
	}

	static void send_text(int fd, std::string_view text)
	{
		for (size_t at = 0; at < text.size();) {
			ssize_t count = write(fd, text.data() + at, text.size() - at);
			if (count <= 0)
				return;
			at += count;
		}
	}

	void serve_one(int fd, const reopened_connection& plan)
	{
		if (!plan.greets)
			return;
		send_text(fd, "( success ( 2 2 ( ) ( edit-pipeline svndiff1 ) ) ) ");
		read_command(fd);
		send_text(fd, "( success ( ( ANONYMOUS ) 0: ) ) ");
		read_command(fd);
		send_text(fd, "( success ( ) ) ( success ( 0: 0: ( ) ) ) ");
		std::string command = read_command(fd);
		{
			std::lock_guard<std::mutex> hold(lock);
			commands.push_back(command);
		}
		send_text(fd, plan.answer);
	}

	void serve()
	{
		for (const reopened_connection& plan : script) {
			pollfd waiting{listener, POLLIN, 0};
			while (!stopping && poll(&waiting, 1, 50) <= 0)
				continue;
			if (stopping)
				return;
			int fd = accept(listener, nullptr, nullptr);
			if (fd < 0)
				return;
			serve_one(fd, plan);
			close(fd);
		}
	}

	std::vector<std::string> received()
	{
		std::lock_guard<std::mutex> hold(lock);
		return commands;
	}
};

// An svn string item: its length, a colon and its bytes.
inline std::string
svn_string(std::string_view text)
{
	return std::to_string(text.size()) + ":" + std::string(text);
}

// The content answer of get-file for data at revision, as svnserve sends
// it: the file in strings of 4096 bytes and one shorter string.
inline std::string
svn_content_answer(std::string_view data, int revision, std::string md5 = "")
{
	if (md5.empty())
		md5 = md5_hex(data.data(), data.size());
	std::string answer = std::string(svn_auth) + "( success ( ( 32:" + md5 + " ) " + std::to_string(revision) + " ( ) ) ) ";
	for (size_t at = 0; at < data.size(); at += 4096)
		answer += svn_string(data.substr(at, 4096)) + " ";
	return answer + "0: ( success ( ) ) ";
}

// The property answer of get-file: the MD5 and the property pairs, each
// given as "( name value ) " text.
inline std::string
svn_property_answer(std::string_view md5, int revision, std::string_view properties)
{
	return std::string(svn_auth) + "( success ( ( 32:" + std::string(md5) + " ) " + std::to_string(revision) + " ( " + std::string(properties) + ") ) ) ";
}

// A temporary directory, removed with everything in it at the end.
struct temporary_directory {
	std::string path;

	temporary_directory()
	{
		char pattern[] = "/tmp/trelk-test-XXXXXX";
		path = mkdtemp(pattern);
	}

	~temporary_directory() { std::filesystem::remove_all(path); }
};

}  // namespace svn_fixture

using namespace svn_fixture;
