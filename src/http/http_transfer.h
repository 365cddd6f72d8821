#pragma once
// What the transfer operations share: the common checks, the end of a body, a response
// body read into a movable block, the memory result rules and whole writes to a file.
#include <cstdint>

#include "http/http_internal.h"

namespace cvhttp {

// cvErrorOperationInProgress while a transfer into memory runs (memoryBusy),
// cvErrorConnectionClosed on a closed connection without the keep-alive option.
Status CommonChecks(HttpClientSession& s, bool memoryBusy);
// Without keep-alive the next request finds the connection closed.
void AfterBody(HttpClientSession& s);
// The response body into a new block with a zero byte after the data (null when empty).
Status ReadBodyToMemory(HttpClientSession& s, plat::HGLOBAL* result, uint32_t* resultLength);
// The memory result rules: the block itself when *length is 0, else a copy into the
// caller's buffer (which *block is) of at most *length bytes.
void HandOver(plat::HGLOBAL data, uint32_t dataLength, plat::HGLOBAL* block, uint32_t* length);
bool WriteAll(int fd, const char* data, uint32_t length);
// The bodies of HttpRetrieveData and HttpPostData on a session already in hand: the status.
Result<int32_t> RetrieveData(HttpClientSession& s, const char* resource, plat::HGLOBAL* block, uint32_t* length,
                             uint32_t options);
Result<int32_t> PostData(HttpClientSession& s, const char* resource, const void* data, uint32_t length,
                         plat::HGLOBAL* block, uint32_t* resultLength, uint32_t options);
// The HEAD query of a resource's size (HttpQueryFileSize): the status.
Result<int32_t> QueryFileSize(HttpClientSession& s, const char* resource, uint64_t* size);

}  // namespace cvhttp
