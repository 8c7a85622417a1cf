// Asks a real WebDAV server for a delta and prints it, for the end-to-end
// test of read_delta_http: trelk_delta_probe PORT BRANCH FROM TO [MISSING...]
// prints "uuid UUID", then "D path" per deleted entry, "A path" per added
// directory, "F path added md5 href repository_path" per file and
// "P path name value" or "R path name" per property, tab-separated.  Exits
// 0 when the delta was read, 2 when read_delta_http returned false.

#include "dav/dav.h"
#include "run/run.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static void
print_delta(const connection& conn, const tree_delta& delta)
{
	printf("uuid\t%s\n", conn.uuid.c_str());
	for (const std::string& path : delta.deleted)
		printf("D\t%s\n", path.c_str());
	for (const std::string& path : delta.added_directories)
		printf("A\t%s\n", path.c_str());
	for (const changed_file& file : delta.files) {
		printf("F\t%s\t%d\t%s\t%s\t%s\n", file.path.c_str(), file.added, file.md5.c_str(),
		    file.href.c_str(), file.repository_path.c_str());
		if (!file.base_md5.empty())
			printf("B\t%s\t%s\t%s\n", file.path.c_str(), file.base_md5.c_str(), file.base_href.c_str());
		for (const property_change& property : file.properties)
			if (property.value)
				printf("P\t%s\t%s\t%s\n", file.path.c_str(), property.name.c_str(), property.value->c_str());
			else
				printf("R\t%s\t%s\n", file.path.c_str(), property.name.c_str());
	}
}

int
main(int argc, char* argv[])
{
	if (argc < 5) {
		fprintf(stderr, "usage: trelk_delta_probe port branch from to [missing...]\n");
		return 64;
	}
	connection conn;
	conn.protocol = protocol_http;
	conn.host = "127.0.0.1";
	conn.port = static_cast<uint16_t>(atoi(argv[1]));
	conn.branch = argv[2];
	conn.revision = atoi(argv[4]);
	conn.ops = &webdav_protocol;
	conn.response = response_buffer(initial_response_capacity);
	reset_connection(conn);
	conn.ops->open(conn);
	std::vector<std::string> missing(argv + 5, argv + argc);
	tree_delta delta;
	if (!conn.ops->read_delta(conn, atoi(argv[3]), missing, delta))
		return 2;
	print_delta(conn, delta);
	close_connection(conn);
	return 0;
}
