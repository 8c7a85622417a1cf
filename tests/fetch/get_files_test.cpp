#include "fetch/fetch.h"

#include "../svn/canned_server.h"
#include "local/local.h"

#include <sys/stat.h>

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

static const std::string entry_properties =
    "( 23:svn:entry:committed-rev 3:340 ) "
    "( 24:svn:entry:committed-date 27:2018-10-19T12:34:56.123456Z ) "
    "( 21:svn:entry:last-author 3:dev ) ";

// One repository file: its path, content and extra properties.
struct repository_file {
	std::string path;
	std::string data;
	std::string properties;
};

static std::string
read_local(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream text;
	text << in.rdbuf();
	return text.str();
}

// svn as it fetches texts in content batches: the path a failed update
// stream falls back to, which the canned answers below drive.
static const protocol_ops svn_in_batches = [] {
	protocol_ops ops = svn_protocol;
	ops.stream_texts = nullptr;
	return ops;
}();

struct fetching : testing::Test {
	canned_server server{16};
	temporary_directory target;
	catalogue cat;
	command_batches batches;
	digest_cache digests;
	std::vector<repository_file> files;

	fetching()
	{
		server.conn.revision = 345;
		server.conn.path_target = target.path;
		server.conn.ops = &svn_in_batches;
	}

	// Lists the files as the listing would and queues their property
	// answers.
	void list(std::vector<repository_file> repository)
	{
		files = std::move(repository);
		std::string answers;
		for (auto& file : files) {
			file_node& node = new_file_node(cat);
			node.path = file.path;
			node.size = file.data.size();
			answers += svn_property_answer(md5_hex(file.data.data(), file.data.size()), 345, entry_properties + file.properties);
		}
		server.send(answers);
		build_property_batches(server.conn, cat, batches, digests);
	}

	// The content answers of the files that differ locally, in order; the
	// file at index broken, if any, reports a failure in place of success.
	std::string contents(const std::vector<int>& indexes, int broken = -1)
	{
		std::string answers;
		for (int i : indexes) {
			std::string answer = svn_content_answer(files[i].data, 345);
			if (i == broken)
				answer.replace(svn_auth.size(), 9, "( failure");
			answers += answer;
		}
		return answers;
	}

	std::string local(const std::string& path) const { return target.path + path; }
};

TEST_F(fetching, WritesTheFilesThatDiffer)
{
	std::string big(8192 + 10, '\0');
	for (size_t i = 0; i < big.size(); i++)
		big[i] = static_cast<char>(i * 7 % 251);
	std::ofstream(local("/same")) << "same";
	list({
	    {"/a(b", "hello", "( 14:svn:executable 1:* ) "},
	    {"/same", "same", ""},
	    {"/big", big, ""},
	    {"/empty", "", ""},
	    {"/link", "link a(b", "( 11:svn:special 1:* ) "},
	    {"/kw.c", "x $FreeBSD$ y\n", "( 12:svn:keywords 10:FreeBSD=%H ) "},
	});
	server.send(contents({0, 2, 3, 4, 5}));
	server.hang_up();
	server.conn.verbosity = 1;
	testing::internal::CaptureStdout();
	get_files(server.conn, cat, batches, digests);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
	    " + " + local("/kw.c") + "\n + " + local("/empty") + "\n + " + local("/big") + "\n + " + local("/a(b") + "\n");
	EXPECT_EQ(read_local(local("/a(b")), "hello");
	EXPECT_EQ(read_local(local("/big")), big);
	EXPECT_EQ(read_local(local("/empty")), "");
	EXPECT_EQ(read_local(local("/kw.c")), "x $FreeBSD: head/kw.c 340 2018-10-19 12:34:56Z dev $ y\n");
	EXPECT_EQ(std::filesystem::read_symlink(local("/link")), "a(b");
	struct stat status;
	ASSERT_EQ(stat(local("/a(b").c_str(), &status), 0);
	EXPECT_EQ(status.st_mode & 0777, 0755u);
	ASSERT_EQ(stat(local("/big").c_str(), &status), 0);
	EXPECT_EQ(status.st_mode & 0777, 0644u);
	EXPECT_EQ(cat.file[1].download, 0);
	// The content batch asked for exactly the files that differ.
	auto commands = server.received();
	ASSERT_EQ(commands.size(), 2u);
	EXPECT_EQ(commands[1],
	    "( get-file ( 4:/a(b ( 345 ) false true false ) )\n( get-file ( 4:/big ( 345 ) false true false ) )\n"
	    "( get-file ( 6:/empty ( 345 ) false true false ) )\n( get-file ( 5:/link ( 345 ) false true false ) )\n"
	    "( get-file ( 5:/kw.c ( 345 ) false true false ) )\n");
}

TEST_F(fetching, CurrentFilesAskForNoContent)
{
	std::ofstream(local("/one")) << "1";
	std::ofstream(local("/two")) << "2";
	list({{"/one", "1", ""}, {"/two", "2", ""}});
	server.hang_up();
	get_files(server.conn, cat, batches, digests);
	EXPECT_EQ(server.received().size(), 1u);
}

TEST_F(fetching, FailedRegionIsRetriedThenQuits)
{
	list({{"/first", "1", ""}, {"/second", "22", ""}, {"/third", "333", ""}});
	for (int attempt = 0; attempt < 6; attempt++)
		server.send(contents({0, 1, 2}, 1));
	server.hang_up();
	EXPECT_EXIT(get_files(server.conn, cat, batches, digests), testing::ExitedWithCode(1),
	    "Error in get files, retry #2\n(.|\n)*Error in get files, retry #5\n(.|\n)*Error in get_files.  Quitting.\n$");
	EXPECT_EQ(read_local(local("/third")), "333");
	EXPECT_FALSE(std::filesystem::exists(local("/first")));
}

TEST_F(fetching, FailedRegionIsRetriedOnce)
{
	list({{"/first", "1", ""}, {"/second", "22", ""}});
	server.send(contents({0, 1}, 0));
	server.send(contents({0, 1}));
	server.hang_up();
	testing::internal::CaptureStderr();
	get_files(server.conn, cat, batches, digests);
	std::string errors = testing::internal::GetCapturedStderr();
	EXPECT_EQ(errors.find("retry"), std::string::npos) << errors;
	EXPECT_EQ(read_local(local("/first")), "1");
	EXPECT_EQ(read_local(local("/second")), "22");
}

TEST_F(fetching, WrongContentEndsTheRun)
{
	struct {
		std::string sent;
		std::string message;
	} cases[] = {
		// Same length, other bytes: the MD5 check catches it.
		{svn_content_answer("hellO", 345, md5_hex("hello", 5)),
		    "MD5 checksum mismatch: should be " + md5_hex("hello", 5) + ", calculated " + md5_hex("hellO", 5)},
		// Another length than the listing stated: never written.
		{svn_content_answer("hello!", 345, md5_hex("hello", 5)), "Error in svn stream.  Quitting."},
		{svn_content_answer("hell", 345, md5_hex("hello", 5)), "Error in svn stream.  Quitting."},
	};
	for (auto& c : cases) {
		canned_server bad(16);
		bad.conn.revision = 345;
		bad.conn.path_target = target.path;
		bad.conn.ops = &svn_in_batches;
		catalogue one;
		file_node& node = new_file_node(one);
		node.path = "/f";
		node.size = 5;
		command_batches queued;
		build_property_batches(bad.conn, one, queued, digests);
		bad.send(svn_property_answer(md5_hex("hello", 5), 345, entry_properties));
		bad.send(c.sent);
		bad.hang_up();
		// A wrong length is retried on fresh connections that send it too.
		reopen_server again(bad.conn, std::vector<reopened_connection>(5, {c.sent}));
		EXPECT_EXIT(get_files(bad.conn, one, queued, digests), testing::ExitedWithCode(1), c.message);
		EXPECT_FALSE(std::filesystem::exists(local("/f"))) << c.message;
	}
}

TEST_F(fetching, FailedPropertyAnswerEndsTheRun)
{
	file_node& node = new_file_node(cat);
	node.path = "/gone";
	build_property_batches(server.conn, cat, batches, digests);
	server.send(std::string(svn_auth) + "( failure ( ( 160013 14:File not found 0: 0 ) ) ) ");
	server.hang_up();
	EXPECT_EXIT(get_files(server.conn, cat, batches, digests), testing::ExitedWithCode(1),
	    "\n[^:\n]+: Command Failure: \\( failure \\( \\( 160013 14:File not found 0: 0 \\) \\) \\)\n");
}

TEST_F(fetching, LocalFormCountsAsADifference)
{
	// Same content as the repository, but another mode or kind.
	std::ofstream(local("/was-exec")) << "e";
	chmod(local("/was-exec").c_str(), 0755);
	std::ofstream(local("/was-file")) << "link e";
	std::ofstream(local("/right")) << "r";
	chmod(local("/right").c_str(), 0644);
	list({{"/was-exec", "e", ""}, {"/was-file", "link e", "( 11:svn:special 1:* ) "}, {"/right", "r", ""}});
	server.send(contents({0, 1}));
	server.hang_up();
	get_files(server.conn, cat, batches, digests);
	struct stat status;
	ASSERT_EQ(lstat(local("/was-exec").c_str(), &status), 0);
	EXPECT_EQ(status.st_mode & 07777, 0644u);
	EXPECT_EQ(std::filesystem::read_symlink(local("/was-file")), "e");
	EXPECT_EQ(cat.file[2].download, 0);
}
