// New catalogue nodes and the order of the path sets.

#include "local/local.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(NewFileNode, ZeroedAndKeptInPlace)
{
	catalogue cat;
	file_node& first = new_file_node(cat);
	first.path = "/first";
	EXPECT_EQ(first.md5[0], '\0');
	EXPECT_EQ(first.download + first.executable + first.special, 0);
	EXPECT_TRUE(first.expansion.empty() && first.href.empty());
	// A node stays where it is while the catalogue grows: the listings
	// hold on to the node they fill in.
	while (cat.count() < 10000)
		new_file_node(cat);
	EXPECT_EQ(&first, &cat.file[0]);
	EXPECT_EQ(cat.file[0].path, "/first");
}

TEST(PathSets, ByteOrderAndFirstInsertWins)
{
	path_set set{"/a/b", "/a", "/a-b"};
	std::vector<std::string> descending(set.rbegin(), set.rend());
	EXPECT_EQ(descending, (std::vector<std::string>{"/a/b", "/a-b", "/a"}));

	path_set high{"/\xc3\xa9", "/z"};
	EXPECT_EQ(*high.begin(), "/z");	// bytes compare unsigned

	known_path_set known;
	known.emplace("/x", "first");
	known.emplace("/x", "second");
	EXPECT_EQ(known.at("/x"), "first");
}

}	// namespace
