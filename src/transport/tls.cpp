// The TLS layer of an https connection, over the socket that
// reset_connection has just connected.  The server's certificate chain and
// its name (or address) are verified by default, against the system's
// trusted authorities or those that SSL_CA_CERT_FILE and SSL_CA_CERT_PATH
// name, the way fetch(1) does; SSL_NO_VERIFY_PEER turns that off.  A
// section's tls_fingerprint= pins the server's certificate instead.

#include "transport/transport.h"

#include <arpa/inet.h>

#include <err.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// SSL_OP_ALL and SSL_OP_NO_TICKET: the workarounds for known server bugs,
// and no session tickets (every connection is a new one anyway).
static constexpr uint64_t tls_options = 0x80004850;
// Handshake attempts before the run gives up on the server.
static constexpr int handshake_limit = 10;

// The length of a SHA-256 fingerprint in hexadecimal digits.
static constexpr size_t fingerprint_digits = 64;

// The trusted authorities named by the environment (both null: the
// system's), and whether the environment turns verification off.
struct trust_store {
	const char* file = nullptr;	// SSL_CA_CERT_FILE: certificates in PEM
	const char* path = nullptr;	// SSL_CA_CERT_PATH: a hashed directory
	bool no_verify = false;		// SSL_NO_VERIFY_PEER, whatever its value
};

// Reads SSL_CA_CERT_FILE, SSL_CA_CERT_PATH and SSL_NO_VERIFY_PEER; an empty
// authority counts as unset.
static trust_store
trust_from_environment()
{
	trust_store store;
	const char* file = getenv("SSL_CA_CERT_FILE");
	const char* path = getenv("SSL_CA_CERT_PATH");

	if (file != nullptr && *file != '\0')
		store.file = file;
	if (path != nullptr && *path != '\0')
		store.path = path;
	store.no_verify = getenv("SSL_NO_VERIFY_PEER") != nullptr;
	return store;
}

// True when the chain and the name are verified: neither turned off by
// the environment nor replaced by a pinned fingerprint.
static bool
verifying(const connection& conn, const trust_store& store)
{
	return !store.no_verify && conn.tls_fingerprint.empty();
}

bool
certificate_unverified(const connection& conn)
{
	return conn.protocol == protocol_https && conn.tls_fingerprint.empty() &&
	    getenv("SSL_NO_VERIFY_PEER") != nullptr;
}

std::string
checked_fingerprint(std::string_view text)
{
	std::string digits;

	for (char c : text) {
		if (c == ':')
			continue;
		if (!isxdigit(static_cast<unsigned char>(c)) || digits.size() == fingerprint_digits) {
			digits.clear();
			break;
		}
		digits += static_cast<char>(tolower(static_cast<unsigned char>(c)));
	}
	if (digits.size() != fingerprint_digits && !text.empty())
		errx(1, "tls_fingerprint=%.*s is not a SHA-256 fingerprint: 64 hexadecimal digits, colons allowed.",
		    static_cast<int>(text.size()), text.data());
	return digits;
}

// OpenSSL's reason for the most recent error, or a stand-in.
static const char*
last_reason()
{
	const char* reason = ERR_reason_error_string(ERR_peek_last_error());

	return reason ? reason : "no reason given";
}

// The host name or address as the messages show it.
static const char*
host_name(const connection& conn)
{
	return conn.host ? conn.host->c_str() : "";
}

// Makes the library ready and loads its error texts.
static void
init_tls_library()
{
	if (OPENSSL_init_ssl(0, nullptr) == 0)
		errx(1, "reset_connection: SSL_library_init (%s)", last_reason());
	OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

// Adds the system's trusted authorities: OpenSSL's default locations
// (which SSL_CERT_FILE and SSL_CERT_DIR override) and, on FreeBSD, the
// bundle and the directory that certctl(8) keeps, which an OpenSSL from
// the ports does not look at by itself.
static void
load_system_authorities(SSL_CTX* context)
{
	if (SSL_CTX_set_default_verify_paths(context) != 1)
		errx(1, "Cannot load the system's certificate authorities (%s).  Quitting.", last_reason());
#ifdef __FreeBSD__
	if (getenv("SSL_CERT_FILE") != nullptr || getenv("SSL_CERT_DIR") != nullptr)
		return;
	const char* file = access("/etc/ssl/cert.pem", R_OK) == 0 ? "/etc/ssl/cert.pem" : nullptr;
	const char* path = access("/etc/ssl/certs", X_OK) == 0 ? "/etc/ssl/certs" : nullptr;
	if (file != nullptr || path != nullptr)
		SSL_CTX_load_verify_locations(context, file, path);
	ERR_clear_error();
#endif
}

// Loads the trusted authorities into the context and makes the handshake
// fail on a certificate that does not chain to one of them.
static void
load_trust_store(SSL_CTX* context, const trust_store& store)
{
	if (store.file == nullptr && store.path == nullptr)
		load_system_authorities(context);
	else if (SSL_CTX_load_verify_locations(context, store.file, store.path) != 1)
		errx(1, "Cannot load the certificate authorities of %s%s%s (%s).  Quitting.",
		    store.file ? store.file : "", store.file && store.path ? " and " : "",
		    store.path ? store.path : "", last_reason());
	SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
}

// Makes the context on the first https opening; later openings of the run
// reuse it, so that the authorities are loaded once.
static void
ensure_tls_context(connection& conn, const trust_store& store)
{
	if (conn.tls_context)
		return;
	conn.tls_context.reset(SSL_CTX_new(TLS_client_method()));
	if (!conn.tls_context)
		errx(1, "reset_connection: SSL_CTX_new (%s)", last_reason());
	SSL_CTX_set_mode(conn.tls_context.get(), SSL_MODE_AUTO_RETRY);
	SSL_CTX_set_options(conn.tls_context.get(), tls_options);
	if (verifying(conn, store))
		load_trust_store(conn.tls_context.get(), store);
}

// Replaces the previous TLS connection, if any, with a new one on
// conn.socket_fd.
static void
new_tls_connection(connection& conn)
{
	conn.tls.reset(SSL_new(conn.tls_context.get()));
	if (!conn.tls)
		errx(1, "reset_connection: SSL_new (%s)", last_reason());
	SSL_set_fd(conn.tls.get(), conn.socket_fd);
}

// True when host is a numeric IPv4 or IPv6 address, which a server name
// indication must not carry.
static bool
is_numeric_host(const std::string& host)
{
	unsigned char address[16];

	return inet_pton(AF_INET, host.c_str(), address) == 1 ||
	    inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Names the server in the handshake, so that name-based virtual hosts
// answer with the right certificate and site.
static void
set_server_name(connection& conn)
{
	if (conn.host && !conn.host->empty() && !is_numeric_host(*conn.host))
		SSL_set_tlsext_host_name(conn.tls.get(), conn.host->c_str());
}

// Asks the verification to match the certificate against the host: its
// address for a numeric host, its name otherwise.
static void
require_host_match(connection& conn)
{
	const std::string host = conn.host ? *conn.host : std::string();
	int done;

	if (is_numeric_host(host))
		done = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(conn.tls.get()), host.c_str());
	else
		done = SSL_set1_host(conn.tls.get(), host.c_str());
	if (done != 1)
		errx(1, "Cannot check the certificate of %s against its name (%s).  Quitting.",
		    host_name(conn), last_reason());
}

// Ends the run when the server's certificate failed verification, naming
// the host and OpenSSL's reason.
static void
check_verification(const connection& conn)
{
	long result = SSL_get_verify_result(conn.tls.get());

	if (result != X509_V_OK)
		errx(1, "Certificate verification of %s failed: %s.  Name its authority with "
		    "SSL_CA_CERT_FILE or SSL_CA_CERT_PATH, pin its certificate with tls_fingerprint=, "
		    "or turn verification off with SSL_NO_VERIFY_PEER.  Quitting.",
		    host_name(conn), X509_verify_cert_error_string(result));
}

// A SHA-256 fingerprint the way openssl x509 -fingerprint shows it:
// upper-case pairs of digits joined by colons.
static std::string
shown_fingerprint(std::string_view digits)
{
	std::string shown;

	for (size_t i = 0; i < digits.size(); i++) {
		if (i > 0 && i % 2 == 0)
			shown += ':';
		shown += static_cast<char>(toupper(static_cast<unsigned char>(digits[i])));
	}
	return shown;
}

// The SHA-256 fingerprint of the server's certificate in lower-case
// hexadecimal digits.
static std::string
peer_fingerprint(const connection& conn)
{
	static const char hex[] = "0123456789abcdef";
	X509* certificate = SSL_get0_peer_certificate(conn.tls.get());
	unsigned char digest[EVP_MAX_MD_SIZE];
	unsigned int length = 0;
	std::string digits;

	if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
		errx(1, "Cannot take the fingerprint of the certificate of %s (%s).  Quitting.",
		    host_name(conn), last_reason());
	for (unsigned int i = 0; i < length; i++) {
		digits += hex[digest[i] >> 4];
		digits += hex[digest[i] & 0x0f];
	}
	return digits;
}

// Ends the run, before any request, when the server's certificate is not
// the one the section pins.
static void
check_fingerprint(const connection& conn)
{
	std::string found = peer_fingerprint(conn);

	if (found != conn.tls_fingerprint)
		errx(1, "The certificate of %s has the SHA-256 fingerprint %s, not %s as tls_fingerprint= says.  Quitting.",
		    host_name(conn), shown_fingerprint(found).c_str(), shown_fingerprint(conn.tls_fingerprint).c_str());
}

// Runs the handshake, trying again after each failed attempt up to a bound.
// A certificate that fails verification ends the run at once.
static void
handshake(connection& conn, bool verify)
{
	int result = SSL_connect(conn.tls.get());

	for (int attempt = 1; result == -1; attempt++) {
		if (verify)
			check_verification(conn);
		fprintf(stderr, "SSL_connect error:%d\n", SSL_get_error(conn.tls.get(), -1));
		if (attempt == handshake_limit)
			break;
		result = SSL_connect(conn.tls.get());
	}
	if (verify)
		check_verification(conn);
	if (result != 1)
		errx(1, "TLS handshake with %s failed (%s).  Quitting.", host_name(conn), last_reason());
}

void
start_tls(connection& conn)
{
	trust_store store = trust_from_environment();

	init_tls_library();
	ensure_tls_context(conn, store);
	new_tls_connection(conn);
	set_server_name(conn);
	if (verifying(conn, store))
		require_host_match(conn);
	handshake(conn, verifying(conn, store));
	if (!conn.tls_fingerprint.empty())
		check_fingerprint(conn);
}
