#pragma once
// The records of a message in memory: the message, its parts and their headers.
#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/frame/lib_types.h"
#include "mime/mime_body_bytes.h"
#include "mime/mime_header_index.h"
#include "platform/base/heap.h"

inline constexpr int32_t kMimeMaxParts = 1024;
inline constexpr int32_t kMimeMaxLevel = 31;
inline constexpr size_t kMimeLineMax = 65535;
inline constexpr uint32_t kMimeInitialGrowthStep = 8192;

struct MimeHeader {
  std::string name;                    // empty in an emptied node
  std::string stored;                  // written on export (RFC 2047-encoded when needed)
  std::optional<std::string> display;  // decoded value, made on first read
  uint64_t place = 0;                  // order in the part's list (nodes are only appended)
  bool emptied() const noexcept { return name.empty(); }
};

using MimeHeaderList = std::list<MimeHeader>;

struct MimePart {
  uint32_t mediaType = 0;
  uint32_t charset = 0;
  uint32_t encoding = 0;
  bool attachment = false;  // the body stays exactly as stored
  int32_t level = 0;
  bool container = false;   // a nested multipart: owns the boundary of its level
  std::string boundary;     // a multipart part's own boundary (part 0 and containers)
  cvmime::BodyBytes body;   // capacity grows in the message's steps
  MimeHeaderList headers;
  cvmime::HeaderIndex index;  // the headers by name; changed with the list, in mime_headers.cpp
  MimeHeaderList::iterator cursor;
  bool cursorSet = false;
};

struct MimeMessage {
  LibSessionHeader header;
  uint32_t options = 0;
  plat::HeapHandle heap = nullptr;

  uint32_t growthStep = kMimeInitialGrowthStep;
  uint32_t growthCounter = 0;
  bool composed = false;
  uint32_t defaultCharset = 10;
  uint32_t defaultEncoding = 2;
  std::array<std::string, kMimeMaxLevel + 1> boundaries;  // empty: none at that level
  int32_t currentLevel = 0;
  int32_t highestLevel = 0;
  int32_t currentPart = 0;
  char dateText[64] = {};
  std::vector<std::unique_ptr<MimePart>> parts;

  // Parser state.
  std::string line;
  bool lineComplete = false;
  bool beforeFirstHeader = false;
  bool inHeaders = false;
  bool lineFlushed = false;     // the start of the current line went to the body already
  bool leadingSkipped = false;  // characters before the first header were passed over
  // A delimiter found no free part slot: from there on the text stays, as it is, in the
  // body of the last part, and every parse call reports the limit.
  bool partsOverflowed = false;
  MimeHeader* lastHeader = nullptr;
  MimePart* lastHeaderPart = nullptr;
};
