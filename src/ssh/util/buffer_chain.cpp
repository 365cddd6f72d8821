#include "ssh/util/buffer_chain.h"

#include <cstring>

#include "ssh/util/alloc.h"

void BufferChainInit(BufferChain* chain) {
  chain->head = chain->tail = nullptr;
  chain->size = 0;
}

void BufferChainClear(BufferChain* chain) {
  while (BufferChainBlock* b = chain->head) {
    chain->head = b->next;
    CheckedFree(b);
  }
  BufferChainInit(chain);
}

uint32_t BufferChainSize(const BufferChain* chain) { return chain->size; }

void BufferChainAdd(BufferChain* chain, const void* data, uint32_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  chain->size += length;
  if (BufferChainBlock* t = chain->tail; t && t->end < kBufferChainBlock) {
    const uint32_t n = length < kBufferChainBlock - t->end ? length : kBufferChainBlock - t->end;
    std::memcpy(t->data + t->end, p, n);
    t->end += n;
    p += n;
    length -= n;
  }
  while (length != 0) {
    auto* b = static_cast<BufferChainBlock*>(cvssh::AllocOrDie(sizeof(BufferChainBlock)));
    const uint32_t n = length < kBufferChainBlock ? length : kBufferChainBlock;
    std::memcpy(b->data, p, n);
    b->next = nullptr;
    b->start = 0;
    b->end = n;
    if (chain->tail) chain->tail->next = b;
    else chain->head = b;
    chain->tail = b;
    p += n;
    length -= n;
  }
}

void BufferChainPrefix(const BufferChain* chain, const void** data, uint32_t* length) {
  const BufferChainBlock* b = chain->head;
  *data = b->data + b->start;
  *length = b->end - b->start;
}

void BufferChainConsume(BufferChain* chain, uint32_t length) {
  if (length > chain->size) length = chain->size;
  chain->size -= length;
  while (length != 0) {
    BufferChainBlock* b = chain->head;
    const uint32_t avail = b->end - b->start;
    if (length < avail) {
      b->start += length;
      return;
    }
    length -= avail;
    chain->head = b->next;
    if (!chain->head) chain->tail = nullptr;
    CheckedFree(b);
  }
}

void BufferChainFetch(const BufferChain* chain, void* out, uint32_t length) {
  uint8_t* o = static_cast<uint8_t*>(out);
  if (length > chain->size) length = chain->size;
  for (const BufferChainBlock* b = chain->head; length != 0; b = b->next) {
    const uint32_t avail = b->end - b->start;
    const uint32_t n = length < avail ? length : avail;
    std::memcpy(o, b->data + b->start, n);
    o += n;
    length -= n;
  }
}
