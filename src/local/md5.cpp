// MD5 as text, through libmd.

#include "local/local.h"

#include <sys/types.h>

#include <md5.h>

#include <climits>

std::string
md5_hex(const char* data, size_t length)
{
	MD5_CTX context;
	char digest[33];

	MD5Init(&context);
	// MD5Update takes a 32-bit count; feed larger files in pieces.
	while (length > 0) {
		size_t piece = length > UINT_MAX / 2 ? UINT_MAX / 2 : length;
		MD5Update(&context, reinterpret_cast<const unsigned char*>(data), piece);
		data += piece;
		length -= piece;
	}
	MD5End(&context, digest);
	return std::string(digest, 32);
}

bool
is_md5_text(std::string_view text)
{
	if (text.size() != 32)
		return false;
	for (char c : text)
		if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
			return false;
	return true;
}
