#include "fetch/fetch.h"

#include "../svn/canned_server.h"
#include "dav/dav.h"
#include "local/local.h"
#include "svn/svn.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

// A catalogue of count files named by their index, with paths of the
// given length.
static void
fill(catalogue& cat, int count, size_t name_length = 8)
{
	for (int i = 0; i < count; i++) {
		file_node& node = new_file_node(cat);
		std::string number = std::to_string(i);
		node.path = "/" + std::string(name_length - number.size(), 'f') + number;
		node.href = "/repo/!svn/ver/3/head" + node.path;
	}
}

static connection
settings(uint32_t protocol, const std::string& target)
{
	connection conn;
	conn.protocol = protocol;
	conn.ops = protocol == protocol_svn ? &svn_protocol : &webdav_protocol;
	conn.revision = 3;
	conn.host = "svn.example.org";
	conn.path_target = target;
	return conn;
}

TEST(BuildPropertyBatches, SvnBatchesCloseAfterPassing32000Bytes)
{
	temporary_directory target;
	connection conn = settings(protocol_svn, target.path);
	for (size_t name_length : {8, 300, 3000}) {
		catalogue cat;
		command_batches batches;
		digest_cache digests;
		fill(cat, 200, name_length);
		build_property_batches(conn, cat, batches, digests);
		size_t request = ("( get-file ( " + std::to_string(name_length + 1) + ":" + cat.file[0].path +
		    " ( 3 ) true false false ) )\n").size();
		int32_t total = 0;
		for (size_t i = 0; i < batches.size(); i++) {
			total += batches[i].requests;
			// Every request is whole; a batch ends with the request that
			// takes it past 32000 bytes, however long that one is.
			EXPECT_EQ(batches[i].text.size(), request * batches[i].requests) << name_length;
			if (i + 1 < batches.size()) {
				EXPECT_GT(batches[i].text.size(), 32000u);
				EXPECT_LE(batches[i].text.size() - request, 32000u);
			}
		}
		EXPECT_EQ(total, 200);
		EXPECT_EQ(batches[0].text.substr(0, request), "( get-file ( " + std::to_string(name_length + 1) + ":" +
		    cat.file[0].path + " ( 3 ) true false false ) )\n");
	}
}

TEST(BuildPropertyBatches, HttpBatchesHold96Requests)
{
	temporary_directory target;
	connection conn = settings(protocol_http, target.path);
	conn.port = 80;
	struct {
		int files;
		std::vector<int32_t> counts;
	} cases[] = {
		{0, {}},
		{95, {95}},
		{96, {96}},
		{97, {96, 1}},
		{200, {96, 96, 8}},
	};
	for (auto& c : cases) {
		catalogue cat;
		command_batches batches;
		digest_cache digests;
		fill(cat, c.files, 600);
		build_property_batches(conn, cat, batches, digests);
		std::vector<int32_t> counts;
		for (const request_batch& batch : batches)
			counts.push_back(batch.requests);
		EXPECT_EQ(counts, c.counts) << c.files;
		for (int32_t i = 0; i < cat.count(); i++)
			EXPECT_EQ(cat.file[i].download, 1);
		if (c.files > 0) {
			EXPECT_EQ(batches[0].text.substr(0, batches[0].text.find("\r\n\r\n") + 4),
			    "PROPFIND " + cat.file[0].href + " HTTP/1.1\r\nDepth: 1\r\nHost: svn.example.org\r\n\r\n");
		}
	}
}

TEST(BuildPropertyBatches, HttpLeavesCurrentFilesOut)
{
	temporary_directory target;
	connection conn = settings(protocol_http, target.path);
	catalogue cat;
	command_batches batches;
	digest_cache digests;
	fill(cat, 3);
	// The second file is current, the first differs, the third is missing.
	for (int i = 0; i < 2; i++) {
		FILE* local = fopen((target.path + cat.file[i].path).c_str(), "w");
		fputs("same", local);
		fclose(local);
		chmod((target.path + cat.file[i].path).c_str(), 0644);
		std::string md5 = md5_hex(i == 1 ? "same" : "other", i == 1 ? 4 : 5);
		memcpy(cat.file[i].md5, md5.c_str(), 33);
	}
	build_property_batches(conn, cat, batches, digests);
	ASSERT_EQ(batches.size(), 1u);
	EXPECT_EQ(batches[0].requests, 2);
	EXPECT_EQ(cat.file[0].download, 1);
	EXPECT_EQ(cat.file[1].download, 0);
	EXPECT_EQ(cat.file[2].download, 1);
}

TEST(BuildPropertyBatches, HttpFetchesACurrentFileWhoseModeChangedWhenTheReportSaysSo)
{
	// {props_known, executable in the repository, local mode, fetched}
	const std::tuple<uint8_t, uint8_t, mode_t, uint8_t> cases[] = {
		{1, 0, 0755, 1},
		{1, 1, 0644, 1},
		{1, 1, 0755, 0},
		{0, 0, 0755, 0},	// no inline properties: the mode cannot be judged
	};
	for (const auto& [known, executable, mode, fetched] : cases) {
		temporary_directory target;
		connection conn = settings(protocol_http, target.path);
		catalogue cat;
		command_batches batches;
		digest_cache digests;
		fill(cat, 1);
		std::string local_path = target.path + cat.file[0].path;
		FILE* local = fopen(local_path.c_str(), "w");
		fputs("same", local);
		fclose(local);
		chmod(local_path.c_str(), mode);
		memcpy(cat.file[0].md5, md5_hex("same", 4).c_str(), 33);
		cat.file[0].props_known = known;
		cat.file[0].executable = executable;
		build_property_batches(conn, cat, batches, digests);
		EXPECT_EQ(cat.file[0].download, fetched) << int(known) << int(executable) << mode;
		// Properties from the report leave nothing to ask for file by file.
		int32_t requests = batches.empty() ? 0 : batches[0].requests;
		EXPECT_EQ(requests, known ? 0 : fetched) << int(known) << int(executable) << mode;
	}
}
