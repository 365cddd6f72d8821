// No "zlib" method is linked yet: the key exchange offers "none" alone.
#include "ssh/proto/compress.h"

const SshCompressDesc* SshZlibCompressDesc() { return nullptr; }
