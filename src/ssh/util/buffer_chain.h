#pragma once
// A byte queue kept as a singly linked list of blocks of up to 512 bytes.
#include <cstdint>

inline constexpr uint32_t kBufferChainBlock = 512;

struct BufferChainBlock {
  BufferChainBlock* next;
  uint32_t end;    // bytes filled
  uint32_t start;  // first unread byte
  uint8_t data[kBufferChainBlock];
};

struct BufferChain {
  BufferChainBlock* head;
  BufferChainBlock* tail;
  uint32_t size;
};

void BufferChainInit(BufferChain* chain);
void BufferChainClear(BufferChain* chain);
uint32_t BufferChainSize(const BufferChain* chain);
void BufferChainAdd(BufferChain* chain, const void* data, uint32_t length);
// The unread bytes of the first block; the chain must not be empty.
void BufferChainPrefix(const BufferChain* chain, const void** data, uint32_t* length);
// Drops length bytes from the front (at most the chain's size).
void BufferChainConsume(BufferChain* chain, uint32_t length);
// Copies length bytes (at most the chain's size) from the front without consuming them.
void BufferChainFetch(const BufferChain* chain, void* out, uint32_t length);
