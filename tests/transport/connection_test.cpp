#include "run/run.h"
#include "transport/transport.h"

#include "dav/dav.h"
#include "svn/svn.h"

#include <sys/types.h>
#include <sys/socket.h>

#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

// A listening socket on a free loopback port.
struct listener {
	int fd;
	uint16_t port;

	listener()
	{
		sockaddr_in address{};
		socklen_t length = sizeof(address);
		fd = socket(AF_INET, SOCK_STREAM, 0);
		address.sin_family = AF_INET;
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
		listen(fd, 4);
		getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
		port = ntohs(address.sin_port);
	}
	~listener() { close(fd); }
};

static void
point_at(connection& conn, uint16_t port)
{
	conn.protocol = protocol_svn;
	conn.host = "127.0.0.1";
	conn.port = port;
	conn.verbosity = 0;
}

TEST(Connection, OpensAfterADescriptorThatIsAlreadyClosed)
{
	listener server;
	connection conn;
	point_at(conn, server.port);
	int stale = dup(0);
	close(stale);
	conn.socket_fd = stale;
	reset_connection(conn);
	int peer = accept(server.fd, nullptr, nullptr);
	ASSERT_GE(peer, 0);
	send_command(conn, "( get-latest-rev ( ) )\n");
	char area[64] = {};
	EXPECT_EQ(read(peer, area, sizeof(area) - 1), 23);
	EXPECT_STREQ(area, "( get-latest-rev ( ) )\n");
	close(peer);
	close_connection(conn);
}

TEST(ConnectionDeath, RefusedConnectionEndsTheRun)
{
	connection conn;
	uint16_t port;
	{
		listener closed;
		port = closed.port;
	}
	point_at(conn, port);
	EXPECT_EXIT(reset_connection(conn), testing::ExitedWithCode(1),
	    "connect failure to 127\\.0\\.0\\.1 port " + std::to_string(port) + ": Connection refused");
}

TEST(ConnectionDeath, UnknownHostIsNamed)
{
	connection conn;
	point_at(conn, 1);
	// An IPv6 address in brackets, as in a URL, is no host name.
	conn.host = "[::1]";
	EXPECT_EXIT(reset_connection(conn), testing::ExitedWithCode(1), "Cannot find the address of \\[::1\\]: .+");
}

TEST(Connection, SendsLongCommandsWhole)
{
	int fds[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
	connection conn;
	conn.protocol = protocol_svn;
	conn.verbosity = 0;
	conn.socket_fd = fds[0];
	std::string command(1 << 20, 'c');
	command.back() = '\n';
	std::string got;
	std::thread reader([&] {
		char area[65536];
		ssize_t count;
		while (got.size() < command.size() && (count = read(fds[1], area, sizeof(area))) > 0)
			got.append(area, count);
	});
	send_command(conn, command.c_str());
	reader.join();
	EXPECT_EQ(got, command);
	close(fds[0]);
	close(fds[1]);
}

TEST(Connection, EmptyCommandIsEchoedButNotWritten)
{
	connection conn;
	conn.verbosity = 3;
	conn.socket_fd = -1;	// any write would fail and end the run
	testing::internal::CaptureStdout();
	send_command(conn, "");
	send_command(conn, nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "<< 0 bytes\n");
}

// A server that accepts and then says nothing: every reader gives up after
// the read time limit with a message naming the host.
TEST(ConnectionDeath, SilentServerEndsTheRunAfterTheReadTimeLimit)
{
	for (uint32_t protocol : {protocol_svn, protocol_http}) {
		EXPECT_EXIT({
			listener server;
			connection conn;
			point_at(conn, server.port);
			conn.protocol = protocol;
			conn.read_time_limit = 1;
			conn.response = response_buffer(4096);
			if (protocol == protocol_svn) {
				reset_connection(conn);
				process_command_svn(conn, "", {1});
			} else
				process_command_http(conn, "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 1);
		}, testing::ExitedWithCode(1), ": No answer from 127\\.0\\.0\\.1 in 1 seconds\\.  Quitting\\.\n$") << protocol;
	}
}

// The server as the svn URL and the Host header name it: an IPv6 address
// in brackets, the port only when it is not the protocol's own.
TEST(ServerAuthority, BracketsAndPorts)
{
	const struct {
		uint32_t protocol;
		const char* host;
		uint16_t port;
		const char* authority;
	} rows[] = {
		{protocol_svn, "svn.example.org", 3690, "svn.example.org"},
		{protocol_svn, "svn.example.org", 3691, "svn.example.org:3691"},
		{protocol_http, "127.0.0.1", 80, "127.0.0.1"},
		{protocol_http, "127.0.0.1", 8080, "127.0.0.1:8080"},
		{protocol_https, "svn.example.org", 443, "svn.example.org"},
		{protocol_https, "svn.example.org", 80, "svn.example.org:80"},
		{protocol_http, "::1", 80, "[::1]"},
		{protocol_https, "2001:db8::1", 8443, "[2001:db8::1]:8443"},
		{protocol_svn, "::1", 3690, "[::1]"},
	};
	for (const auto& row : rows) {
		connection conn;
		conn.protocol = row.protocol;
		conn.host = row.host;
		conn.port = row.port;
		EXPECT_EQ(server_authority(conn), row.authority) << row.host << " " << row.port;
	}
}
