// The catalogue's growth and the order of the path sets.

#include "local/local.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(NewFileNode, GrowsByWholeSlabsAndKeepsNodes)
{
	catalogue cat;
	file_node& first = new_file_node(cat);
	first.path = "/first";
	EXPECT_EQ(cat.file_count, 1);
	EXPECT_EQ(cat.file_capacity, 4096);
	EXPECT_EQ(first.md5[0], '\0');
	EXPECT_EQ(first.download + first.executable + first.special, 0);
	EXPECT_TRUE(first.expansion.empty() && first.href.empty());

	while (cat.file_count < 4095)
		new_file_node(cat);
	EXPECT_EQ(cat.file_capacity, 4096);
	new_file_node(cat);
	EXPECT_EQ(cat.file_count, 4096);
	EXPECT_EQ(cat.file_capacity, 8192);
	while (cat.file_count < 8192)
		new_file_node(cat);
	EXPECT_EQ(cat.file_capacity, 12288);
	EXPECT_LT(static_cast<size_t>(cat.file_count), cat.file.capacity());
	EXPECT_EQ(&first, cat.file[0].get());
	EXPECT_EQ(cat.file[0]->path, "/first");
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
