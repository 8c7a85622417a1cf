// Certificate verification over https: on by default, against the
// system's authorities or those SSL_CA_CERT_FILE or SSL_CA_CERT_PATH name;
// off with SSL_NO_VERIFY_PEER; replaced by a pinned SHA-256 fingerprint.
// A failed chain, a wrong host or a wrong fingerprint ends the run before
// anything is sent.  The authorities and certificates are made with
// openssl(1) when the tests start; the server is a child process on
// loopback with OpenSSL's server side.  OpenSSL's default locations are
// pointed into the test's folder, so the machine's own trust store is
// never read.

#include "run/run.h"
#include "transport/transport.h"

#include <sys/socket.h>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// The folder of the test authorities: ca (trusted), other (unrelated),
// hashed (a directory holding ca, rehashed), empty (an empty directory
// and an empty file, standing for a system without authorities), and two
// server certificates signed by ca, one for localhost and 127.0.0.1, one
// for other names, with their SHA-256 fingerprints as openssl(1) shows
// them in loopback.fp and elsewhere.fp.
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
	std::string command = "cd " + pki + " && openssl x509 -in " + name +
	    ".pem -noout -fingerprint -sha256 | sed 's/.*=//' >" + name + ".fp";
	ASSERT_EQ(system(command.c_str()), 0) << command;
}

// The fingerprint of a server certificate, as openssl(1) shows it.
std::string
fingerprint_of(const std::string& name)
{
	std::string line;
	std::getline(std::ifstream(pki + "/" + name + ".fp"), line);
	return line;
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
		std::filesystem::create_directory(pki + "/empty");
		std::ofstream(pki + "/empty.pem").close();
	}

	static void TearDownTestSuite() { std::filesystem::remove_all(pki); }

	// OpenSSL's default locations, standing for the system's trust store.
	void SetUp() override
	{
		setenv("SSL_CERT_FILE", (pki + "/empty.pem").c_str(), 1);
		setenv("SSL_CERT_DIR", (pki + "/empty").c_str(), 1);
	}

	void TearDown() override
	{
		unsetenv("SSL_CA_CERT_FILE");
		unsetenv("SSL_CA_CERT_PATH");
		unsetenv("SSL_NO_VERIFY_PEER");
		unsetenv("SSL_CERT_FILE");
		unsetenv("SSL_CERT_DIR");
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
	const char* no_verify;	// SSL_NO_VERIFY_PEER; null: unset
	const char* system;	// SSL_CERT_FILE, the system's bundle; null: empty
	const char* pinned;	// the certificate whose fingerprint is pinned
	const char* host;
	const char* certificate;
	const char* message;	// null: the connection opens
};

#define WAYS_OUT "\\.  Name its authority with SSL_CA_CERT_FILE or SSL_CA_CERT_PATH, " \
	"pin its certificate with tls_fingerprint=, or turn verification off with " \
	"SSL_NO_VERIFY_PEER\\.  Quitting\\."

const verify_case cases[] = {
	{"by default, no authority", nullptr, nullptr, nullptr, nullptr, nullptr, "127.0.0.1", "loopback",
	    "Certificate verification of 127\\.0\\.0\\.1 failed: unable to get local issuer certificate" WAYS_OUT},
	{"empty variables count as unset", "", "", nullptr, nullptr, nullptr, "127.0.0.1", "loopback",
	    "Certificate verification of 127\\.0\\.0\\.1 failed: unable to get local issuer certificate" WAYS_OUT},
	{"the system's authorities", nullptr, nullptr, nullptr, "ca.pem", nullptr, "127.0.0.1", "loopback", nullptr},
	{"the system's authorities, wrong name", nullptr, nullptr, nullptr, "ca.pem", nullptr, "localhost", "elsewhere",
	    "Certificate verification of localhost failed: hostname mismatch" WAYS_OUT},
	{"right authority, address", "ca.pem", nullptr, nullptr, nullptr, nullptr, "127.0.0.1", "loopback", nullptr},
	{"right authority, name", "ca.pem", nullptr, nullptr, nullptr, nullptr, "localhost", "loopback", nullptr},
	{"hashed directory", nullptr, "hashed", nullptr, nullptr, nullptr, "127.0.0.1", "loopback", nullptr},
	{"unrelated authority", "other.pem", nullptr, nullptr, nullptr, nullptr, "127.0.0.1", "loopback",
	    "Certificate verification of 127\\.0\\.0\\.1 failed: unable to get local issuer certificate" WAYS_OUT},
	{"wrong address", "ca.pem", nullptr, nullptr, nullptr, nullptr, "127.0.0.1", "elsewhere",
	    "Certificate verification of 127\\.0\\.0\\.1 failed: IP address mismatch" WAYS_OUT},
	{"wrong name", "ca.pem", nullptr, nullptr, nullptr, nullptr, "localhost", "elsewhere",
	    "Certificate verification of localhost failed: hostname mismatch" WAYS_OUT},
	{"hashed directory, wrong name", nullptr, "hashed", nullptr, nullptr, nullptr, "localhost", "elsewhere",
	    "Certificate verification of localhost failed: hostname mismatch" WAYS_OUT},
	{"missing authority file", "/nonexistent/ca.pem", nullptr, nullptr, nullptr, nullptr, "127.0.0.1", "loopback",
	    "Cannot load the certificate authorities of /nonexistent/ca\\.pem \\(.*\\)\\.  Quitting\\."},
	{"SSL_NO_VERIFY_PEER, no authority", nullptr, nullptr, "1", nullptr, nullptr, "127.0.0.1", "elsewhere", nullptr},
	{"SSL_NO_VERIFY_PEER empty, wrong authority", "other.pem", nullptr, "", nullptr, nullptr, "127.0.0.1", "elsewhere", nullptr},
	{"pinned, no authority, other names", nullptr, nullptr, nullptr, nullptr, "elsewhere", "127.0.0.1", "elsewhere", nullptr},
	{"pinned, wrong certificate", "ca.pem", nullptr, nullptr, nullptr, "elsewhere", "127.0.0.1", "loopback",
	    "The certificate of 127\\.0\\.0\\.1 has the SHA-256 fingerprint [0-9A-F:]{95}, not [0-9A-F:]{95} "
	    "as tls_fingerprint= says\\.  Quitting\\."},
	{"pinned, wrong certificate, SSL_NO_VERIFY_PEER", nullptr, nullptr, "1", nullptr, "loopback", "127.0.0.1", "elsewhere",
	    "The certificate of 127\\.0\\.0\\.1 has the SHA-256 fingerprint [0-9A-F:]{95}, not [0-9A-F:]{95} "
	    "as tls_fingerprint= says\\.  Quitting\\."},
};

TEST_F(Tls, VerifiesByDefault)
{
	for (const verify_case& c : cases) {
		SCOPED_TRACE(c.name);
		set_variable("SSL_CA_CERT_FILE", c.ca_file);
		set_variable("SSL_CA_CERT_PATH", c.ca_path);
		if (c.no_verify != nullptr)
			setenv("SSL_NO_VERIFY_PEER", c.no_verify, 1);
		set_variable("SSL_CERT_FILE", c.system);
		tls_server server(c.certificate);
		connection conn;
		point_at(conn, c.host, server.port);
		if (c.pinned != nullptr)
			conn.tls_fingerprint = checked_fingerprint(fingerprint_of(c.pinned));
		if (c.message == nullptr) {
			reset_connection(conn);
			send_command(conn, "OPTIONS / HTTP/1.1\r\n\r\n");
			close_connection(conn);
			EXPECT_EQ(server.received(), 22);
		} else {
			EXPECT_EXIT(reset_connection(conn), ::testing::ExitedWithCode(1), c.message);
			// Nothing reached the server: the handshake failed, or ended
			// without a request.
			EXPECT_LE(server.received(), 0);
		}
		TearDown();
		SetUp();
	}
}

TEST_F(Tls, NoVerifyPeerIsShownInTheHeader)
{
	connection conn;
	conn.protocol = protocol_https;
	conn.verbosity = 2;
	const char* line = "# Certificate: not verified (SSL_NO_VERIFY_PEER is set)\n";
	struct {
		const char* name;
		uint32_t protocol;
		const char* no_verify;
		const char* pinned;
		bool shown;
	} rows[] = {
		{"verified", protocol_https, nullptr, nullptr, false},
		{"SSL_NO_VERIFY_PEER", protocol_https, "", nullptr, true},
		{"SSL_NO_VERIFY_PEER over http", protocol_http, "1", nullptr, false},
		{"SSL_NO_VERIFY_PEER, fingerprint pinned", protocol_https, "1", "loopback", false},
	};
	for (const auto& row : rows) {
		SCOPED_TRACE(row.name);
		unsetenv("SSL_NO_VERIFY_PEER");
		if (row.no_verify != nullptr)
			setenv("SSL_NO_VERIFY_PEER", row.no_verify, 1);
		conn.protocol = row.protocol;
		conn.tls_fingerprint = row.pinned ? checked_fingerprint(fingerprint_of(row.pinned)) : "";
		testing::internal::CaptureStderr();
		testing::internal::CaptureStdout();
		print_header(conn);
		testing::internal::GetCapturedStdout();
		std::string shown = testing::internal::GetCapturedStderr();
		EXPECT_EQ(shown.find(line) != std::string::npos, row.shown) << shown;
	}
}

// A TLS write that fails without a system error is reported with
// OpenSSL's reason, never with whatever errno last held.
TEST_F(Tls, FailedWriteShowsTheTlsReason)
{
	setenv("SSL_NO_VERIFY_PEER", "1", 1);
	tls_server server("loopback");
	connection conn;
	point_at(conn, "127.0.0.1", server.port);
	reset_connection(conn);
	SSL_shutdown(conn.tls.get());
	errno = ENOENT;
	EXPECT_EXIT(send_command(conn, "OPTIONS / HTTP/1.1\r\n\r\n"), ::testing::ExitedWithCode(1),
	    "^[^:]+: TLS write to 127\\.0\\.0\\.1 failed 65 times in a row \\(protocol is shutdown\\)\\.  Quitting\\.\n$");
	close_connection(conn);
	EXPECT_EQ(server.received(), 0);
}

TEST(TlsFingerprint, ValuesOfTheKey)
{
	const std::string digits = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
	struct {
		const char* name;
		std::string text;
		std::string stored;	// empty with a message: refused
		const char* message;
	} rows[] = {
		{"plain digits", digits, digits, nullptr},
		{"upper case with colons, as openssl shows it",
		    "01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF",
		    digits, nullptr},
		{"empty: nothing pinned", "", "", nullptr},
		{"one digit short", digits.substr(1), "", "tls_fingerprint=123.*is not a SHA-256 fingerprint"},
		{"one digit more", digits + "0", "", "is not a SHA-256 fingerprint: 64 hexadecimal digits, colons allowed\\."},
		{"not a digit", "g" + digits.substr(1), "", "is not a SHA-256 fingerprint"},
		{"a blank", digits.substr(0, 32) + " " + digits.substr(32), "", "is not a SHA-256 fingerprint"},
		{"colons only", ":::", "", "tls_fingerprint=::: is not a SHA-256 fingerprint"},
	};
	for (const auto& row : rows) {
		SCOPED_TRACE(row.name);
		if (row.message == nullptr)
			EXPECT_EQ(checked_fingerprint(row.text), row.stored);
		else
			EXPECT_EXIT(checked_fingerprint(row.text), ::testing::ExitedWithCode(1), row.message);
	}
}

}	// namespace
