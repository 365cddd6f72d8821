// The compression descriptors the key exchange chooses from.
#include "ssh/compress/zlib.h"

namespace {

void* CompressCreate() { return ZlibCompressNew(); }
void CompressFree(void* c) { ZlibCompressFree(static_cast<ZlibCompressor*>(c)); }
int32_t Compress(void* c, const uint8_t* in, int32_t n, uint8_t** out, int32_t* out_length) {
  return ZlibCompress(static_cast<ZlibCompressor*>(c), in, n, out, out_length);
}
int32_t Disable(void* c) { return ZlibDisableCompression(static_cast<ZlibCompressor*>(c)); }
void* DecompressCreate() { return ZlibDecompressNew(); }
void DecompressFree(void* d) { ZlibDecompressFree(static_cast<ZlibDecompressor*>(d)); }
int32_t Decompress(void* d, const uint8_t* in, int32_t n, uint8_t** out, int32_t* out_length) {
  return ZlibDecompress(static_cast<ZlibDecompressor*>(d), in, n, out, out_length);
}

void* NoContext() { return nullptr; }
void NoFree(void*) {}
int32_t NotDone(void*, const uint8_t*, int32_t, uint8_t**, int32_t*) { return 0; }
int32_t NoOverhead(void*) { return 0; }

}  // namespace

const SshCompressDesc SshZlibCompress = {"zlib",         CompressCreate, CompressFree, Compress,
                                         DecompressCreate, DecompressFree, Decompress, Disable,
                                         "zlib (RFC1950)"};

const SshCompressDesc SshNoneCompress = {"none", NoContext, NoFree, NotDone, NoContext, NoFree, NotDone, NoOverhead,
                                         nullptr};
