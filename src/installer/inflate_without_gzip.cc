// The setup program decodes zlib streams only. zlib's decoder refers to its
// CRC-32 solely for gzip streams, which a decoder set up by inflateInit (the
// zlib wrapper) never accepts. Defining the function here keeps zlib's 12 KB
// of CRC code and tables out of every download. Linked into the shipped
// program only; tests keep zlib's own.
#include <zlib.h>

#include "shell/fault.h"

extern "C" uLong crc32(uLong, const Bytef*, uInt) {
  lbw::internal_fault("zlib", "the decoder asked for a gzip checksum");
}
