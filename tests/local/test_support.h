// Helpers shared by the run and local-tree tests: exact death-test
// messages, a temporary folder, small file helpers and argument vectors.
#pragma once

#include <sys/stat.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A regular expression that matches text and nothing else.
inline std::string
exactly(const std::string& text)
{
	std::string pattern = "^";
	for (char c : text) {
		if (std::string_view(".[]()*+?{}|^$\\").find(c) != std::string_view::npos)
			pattern += '\\';
		pattern += c;
	}
	return pattern + "$";
}

// The whole standard error of errx(1, message).
inline std::string
errx_text(const std::string& message)
{
	return "^[^:]+: " + exactly(message + "\n").substr(1);
}

// The whole standard error of err(1, message): the system's text follows.
inline std::string
err_text(const std::string& message)
{
	std::string pattern = exactly(message);
	return "^[^:]+: " + pattern.substr(1, pattern.size() - 2) + ": [^\n]+\n$";
}

// A fresh folder below TMPDIR, removed with everything in it afterwards.
class temporary_folder {
public:
	temporary_folder()
	{
		const char* base = getenv("TMPDIR");
		std::string pattern = std::string(base && *base ? base : "/tmp") + "/trelk-test-XXXXXX";
		std::vector<char> name(pattern.begin(), pattern.end());
		name.push_back('\0');
		if (mkdtemp(name.data()) == nullptr)
			ADD_FAILURE() << "mkdtemp failed";
		path = name.data();
	}
	~temporary_folder()
	{
		std::error_code ignored;
		std::filesystem::remove_all(path, ignored);
	}
	temporary_folder(const temporary_folder&) = delete;
	temporary_folder& operator=(const temporary_folder&) = delete;

	std::string path;
};

inline void
write_text(const std::string& path, const std::string& text)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << text;
}

inline std::string
read_text(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

inline bool
exists_no_follow(const std::string& path)
{
	struct stat status;
	return lstat(path.c_str(), &status) == 0;
}

inline mode_t
permissions_of(const std::string& path)
{
	struct stat status;
	if (lstat(path.c_str(), &status) == -1)
		return 0;
	return status.st_mode & 07777;
}

// An argument vector for main-style functions; argv() points into texts.
class argument_vector {
public:
	argument_vector(std::initializer_list<std::string> arguments) : texts(arguments) {}
	int argc() const { return static_cast<int>(texts.size()); }
	char**
	argv()
	{
		pointers.clear();
		for (std::string& text : texts)
			pointers.push_back(text.data());
		pointers.push_back(nullptr);
		return pointers.data();
	}

private:
	std::vector<std::string> texts;
	std::vector<char*> pointers;
};
