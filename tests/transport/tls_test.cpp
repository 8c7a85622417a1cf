// Certificate verification over https: off unless SSL_CA_CERT_FILE or
// SSL_CA_CERT_PATH names trusted authorities, and then a failed chain or a
// wrong host ends the run before anything is sent.  The authorities and
// certificates are made with openssl(1) when the tests start; the server
// is a child process on loopback with OpenSSL's server side.

#include "transport/transport.h"

#include <sys/socket.h>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// The folder of the test authorities: ca (trusted), other (unrelated),
// hashed (a directory holding ca, rehashed), and two server certificates
// signed by ca, one for localhost and 127.0.0.1, one for other names.
std::string pki;

const char* const openssl_config = R"(
[req]
distinguished_name = dn
prompt = no
[dn]
CN = trelk test
[authority]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[loopback]
subjectAltName = DNS:localhost,IP:127.0.0.1
[elsewhere]
subjectAltName = DNS:elsewhere.example,IP:192.0.2.1
)";

// Runs one openssl command in the folder; the test fails when it does.
void
openssl(const std::string& arguments)
{
	std::string command = "cd " + pki + " && openssl " + arguments + " >/dev/null 2>&1";
	ASSERT_EQ(system(command.c_str()), 0) << command;
}

// A self-signed authority named name.
void
make_authority(const std::string& name)
{
	openssl("req -x509 -new -config openssl.cnf -extensions authority -newkey ec "
	    "-pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=" + name +
	    " -keyout " + name + ".key -out " + name + ".pem");
}

// A server certificate signed by the authority ca, with the names of the
// given section of the configuration.
void
make_server(const std::string& name, int serial)
{
	openssl("req -new -config openssl.cnf -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
	    "-nodes -subj /CN=" + name + " -keyout " + name + ".key -out " + name + ".csr");
	openssl("x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -set_serial " +
	    std::to_string(serial) + " -days 2 -extfile openssl.cnf -extensions " + name +
	    " -out " + name + ".pem");
}

class Tls : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		char folder[] = "/tmp/trelk-tls-XXXXXX";
		ASSERT_NE(mkdtemp(folder), nullptr);
		pki = folder;
		std::ofstream(pki + "/openssl.cnf") << openssl_config;
		make_authority("ca");
		make_authority("other");
		make_server("loopback", 2);
		make_server("elsewhere", 3);
		std::filesystem::create_directory(pki + "/hashed");
		std::filesystem::copy_file(pki + "/ca.pem", pki + "/hashed/ca.pem");
		openssl("rehash hashed");
	}

	static void TearDownTestSuite() { std::filesystem::remove_all(pki); }

	void TearDown() override
	{
		unsetenv("SSL_CA_CERT_FILE");
		unsetenv("SSL_CA_CERT_PATH");
	}
};

// A TLS server for one connection, in a child process.  It reports on a
// pipe how many bytes it received after the handshake, or -1 when the
// handshake failed.
class tls_server {
public:
	explicit tls_server(const std::string& certificate)
	{
		sockaddr_in address{};
		socklen_t length = sizeof(address);
		int listener = socket(AF_INET, SOCK_STREAM, 0);
		address.sin_family = AF_INET;
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
		EXPECT_EQ(listen(listener, 4), 0);
		getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
		port = ntohs(address.sin_port);
		EXPECT_EQ(pipe(report), 0);
		fflush(nullptr);
		child = fork();
		if (child == 0) {
			signal(SIGPIPE, SIG_IGN);
			close(report[0]);
			int received = serve(listener, certificate);
			(void)!write(report[1], &received, sizeof(received));
			_exit(0);
		}
		close(report[1]);
		close(listener);
	}

	~tls_server()
	{
		close(report[0]);
		if (child > 0) {
			kill(child, SIGKILL);
			waitpid(child, nullptr, 0);
		}
	}

	// Waits for the child's report.
	int received()
	{
		int count = -2;
		EXPECT_EQ(read(report[0], &count, sizeof(count)), static_cast<ssize_t>(sizeof(count)));
		waitpid(child, nullptr, 0);
		child = -1;
		return count;
	}

	uint16_t port;

private:
	// Accepts one connection, completes the handshake and reads until the
	// client closes.  Returns the bytes read, -1 for a failed handshake.
	static int serve(int listener, const std::string& name)
	{
		SSL_CTX* context = SSL_CTX_new(TLS_server_method());
		SSL_CTX_use_certificate_chain_file(context, (pki + "/" + name + ".pem").c_str());
		SSL_CTX_use_PrivateKey_file(context, (pki + "/" + name + ".key").c_str(), SSL_FILETYPE_PEM);
		SSL_CTX_set_num_tickets(context, 0);
		int fd = accept(listener, nullptr, nullptr);
		SSL* tls = SSL_new(context);
		SSL_set_fd(tls, fd);
		if (SSL_accept(tls) != 1)
			return -1;
		int total = 0;
		char area[256];
		for (int n; (n = SSL_read(tls, area, sizeof(area))) > 0;)
			total += n;
		return total;
	}

	int report[2];
	pid_t child;
};

// An https connection record for host on port.
void
point_at(connection& conn, const char* host, uint16_t port)
{
	conn.protocol = protocol_https;
	conn.host = host;
	conn.port = port;
	conn.verbosity = 0;
}

// Sets one variable of the environment for the test; null leaves it unset.
void
set_variable(const char* name, const char* value)
{
	if (value != nullptr)
		setenv(name, value[0] == '/' || value[0] == '\0' ? value : (pki + "/" + value).c_str(), 1);
}

struct verify_case {
	const char* name;
	const char* ca_file;	// relative to the folder of the authorities
	const char* ca_path;
	const char* host;
	const char* certificate;
	const char* message;	// null: the connection opens
};

const verify_case cases[] = {
	{"unset, certificate for other names", nullptr, nullptr, "127.0.0.1", "elsewhere", nullptr},
	{"empty variables count as unset", "", "", "127.0.0.1", "elsewhere", nullptr},
	{"right authority, address", "ca.pem", nullptr, "127.0.0.1", "loopback", nullptr},
	{"right authority, name", "ca.pem", nullptr, "localhost", "loopback", nullptr},
	{"hashed directory", nullptr, "hashed", "127.0.0.1", "loopback", nullptr},
	{"unrelated authority", "other.pem", nullptr, "127.0.0.1", "loopback",
	    "Certificate verification of 127\\.0\\.0\\.1 failed: unable to get local issuer certificate\\.  Quitting\\."},
	{"wrong address", "ca.pem", nullptr, "127.0.0.1", "elsewhere",
	    "Certificate verification of 127\\.0\\.0\\.1 failed: IP address mismatch\\.  Quitting\\."},
	{"wrong name", "ca.pem", nullptr, "localhost", "elsewhere",
	    "Certificate verification of localhost failed: hostname mismatch\\.  Quitting\\."},
	{"hashed directory, wrong name", nullptr, "hashed", "localhost", "elsewhere",
	    "Certificate verification of localhost failed: hostname mismatch\\.  Quitting\\."},
	{"missing authority file", "/nonexistent/ca.pem", nullptr, "127.0.0.1", "loopback",
	    "Cannot load the certificate authorities of /nonexistent/ca\\.pem \\(.*\\)\\.  Quitting\\."},
};

TEST_F(Tls, VerifiesOnlyWhenTheEnvironmentNamesAuthorities)
{
	for (const verify_case& c : cases) {
		SCOPED_TRACE(c.name);
		set_variable("SSL_CA_CERT_FILE", c.ca_file);
		set_variable("SSL_CA_CERT_PATH", c.ca_path);
		tls_server server(c.certificate);
		connection conn;
		point_at(conn, c.host, server.port);
		if (c.message == nullptr) {
			reset_connection(conn);
			send_command(conn, "OPTIONS / HTTP/1.1\r\n\r\n");
			close_connection(conn);
			EXPECT_EQ(server.received(), 22);
		} else {
			EXPECT_EXIT(reset_connection(conn), ::testing::ExitedWithCode(1), c.message);
			// Nothing reached the server: the handshake failed, or (for an
			// unloadable file) ended without a request.
			EXPECT_LE(server.received(), 0);
		}
		TearDown();
	}
}

}	// namespace
