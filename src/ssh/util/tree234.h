#pragma once
// Counted 2-3-4 tree: a balanced ordered container whose nodes also count the elements
// below each child, so elements are reached by key or by position in logarithmic time.
// Elements are opaque pointers owned by the caller.
#include <cstdint>

using TreeCompare = int (*)(void* a, void* b);

struct CountedTree;

CountedTree* TreeNew(TreeCompare compare);  // null compare: a list reached only by position
void TreeFree(CountedTree* tree);           // frees the nodes, not the elements
int32_t TreeCount(CountedTree* tree);
// Inserts in order and returns element, or returns the equal element already present.
// Null for a tree without comparison function.
void* TreeAdd(CountedTree* tree, void* element);
void* TreeIndex(CountedTree* tree, int32_t position);
// compare (or the tree's when null) is called as compare(key, element).
void* TreeFind(CountedTree* tree, void* key, TreeCompare compare);
void* TreeFindPosition(CountedTree* tree, void* key, TreeCompare compare, int32_t* position);
void* TreeDeleteAt(CountedTree* tree, int32_t position);
void* TreeDelete(CountedTree* tree, void* element);
