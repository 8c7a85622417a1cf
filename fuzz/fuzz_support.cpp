// trelk's fatal paths call the err family; in the fuzz build these
// definitions take precedence over the C library's and throw fatal_stop,
// which each target catches around the code under test.

#include "fuzz_support.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

// Formats the message as err would (so that a bad format argument is
// still caught by the sanitizers), then throws.
[[noreturn]] static void
stop(int status, const char* format, va_list ap)
{
	char message[4096];

	if (format != nullptr)
		vsnprintf(message, sizeof(message), format, ap);
	throw fatal_stop{status};
}

extern "C" void
verr(int status, const char* format, va_list ap)
{
	stop(status, format, ap);
}

extern "C" void
verrx(int status, const char* format, va_list ap)
{
	stop(status, format, ap);
}

extern "C" void
err(int status, const char* format, ...)
{
	va_list ap;

	va_start(ap, format);
	stop(status, format, ap);
}

extern "C" void
errx(int status, const char* format, ...)
{
	va_list ap;

	va_start(ap, format);
	stop(status, format, ap);
}

static std::vector<std::string> folders;	// removed when the fuzzer ends

// Removes the folders that fuzz_folder made.
static void
remove_folders()
{
	std::error_code ignored;

	for (const std::string& folder : folders)
		std::filesystem::remove_all(folder, ignored);
}

std::string
fuzz_folder(const char* name)
{
	const char* tmp = getenv("TMPDIR");
	std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/trelk-fuzz-" + name + "-XXXXXX";

	if (mkdtemp(pattern.data()) == nullptr) {
		perror("mkdtemp");
		abort();
	}
	if (folders.empty())
		atexit(remove_folders);
	folders.push_back(pattern);
	return pattern;
}

void
fuzz_check(bool condition, const char* what)
{
	if (condition)
		return;
	fprintf(stderr, "invariant broken: %s\n", what);
	abort();
}

void
empty_folder(const std::string& folder)
{
	std::error_code ignored;

	for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
		std::filesystem::remove_all(entry.path(), ignored);
}

void
write_file_whole(const std::string& path, const uint8_t* data, size_t size)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

	fuzz_check(fd >= 0, "the input file can be created");
	for (size_t done = 0; done < size;) {
		ssize_t n = write(fd, data + done, size - done);
		fuzz_check(n > 0, "the input file can be written");
		done += static_cast<size_t>(n);
	}
	close(fd);
}

bool
load_answer_into_socket_pair(int fds[2], const uint8_t* data, size_t size)
{
	int buffer = 4 << 20;

	if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
		return false;
	setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
	fcntl(fds[1], F_SETFL, O_NONBLOCK);
	fcntl(fds[0], F_SETFL, O_NONBLOCK);
	size_t done = 0;
	while (done < size) {
		ssize_t n = write(fds[1], data + done, size - done);
		if (n <= 0)
			break;
		done += static_cast<size_t>(n);
	}
	shutdown(fds[1], SHUT_WR);
	return true;
}
