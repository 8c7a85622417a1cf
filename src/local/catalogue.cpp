// The catalogue of repository files.

#include "local/local.h"

#include <err.h>

#include <cerrno>
#include <new>

// Appends a zeroed node and returns it; the slots grow 4096 at a time.
file_node&
new_file_node(catalogue& cat)
{
	std::unique_ptr<file_node> node;

	try {
		node = std::make_unique<file_node>();
	} catch (const std::bad_alloc&) {
		errno = ENOMEM;
		err(1, "new_file_node node malloc");
	}
	// The slot is reserved already: one always stays free.
	cat.file.push_back(std::move(node));
	cat.file_count++;
	if (cat.file_count == cat.file_capacity) {
		cat.file_capacity = cat.file_count + 4096;
		try {
			cat.file.reserve(static_cast<size_t>(cat.file_capacity));
		} catch (const std::bad_alloc&) {
			errno = ENOMEM;
			err(1, "new_file_node file realloc");
		}
	}
	return *cat.file.back();
}
