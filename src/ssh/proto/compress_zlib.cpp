// The "zlib" method offered by the key exchange.
#include "ssh/compress/zlib.h"
#include "ssh/proto/compress.h"

const SshCompressDesc* SshZlibCompressDesc() { return &SshZlibCompress; }
