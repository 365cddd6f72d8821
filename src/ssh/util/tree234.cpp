// Insertion splits full nodes on the way down and deletion fixes up single-element nodes
// on the way down, so neither needs a second pass upwards; the per-child counts are
// adjusted on the same walk.
#include "ssh/util/tree234.h"

#include <cstring>
#include <new>

namespace {

struct Node {
  Node* kids[4] = {};
  uint32_t counts[4] = {};
  void* elems[3] = {};
  int n = 0;  // elements held (1 to 3; 0 only transiently)

  bool Leaf() const { return kids[0] == nullptr; }
  uint32_t Total() const { return counts[0] + counts[1] + counts[2] + counts[3] + uint32_t(n); }
};

void FreeNodes(Node* node) {
  if (!node) return;
  for (Node* kid : node->kids) FreeNodes(kid);
  delete node;
}

// Splits the full child at index i of parent; its middle element moves up into parent.
void SplitChild(Node* parent, int i) {
  Node* left = parent->kids[i];
  Node* right = new Node;
  right->elems[0] = left->elems[2];
  right->kids[0] = left->kids[2];
  right->kids[1] = left->kids[3];
  right->counts[0] = left->counts[2];
  right->counts[1] = left->counts[3];
  right->n = 1;
  void* middle = left->elems[1];
  left->elems[1] = left->elems[2] = nullptr;
  left->kids[2] = left->kids[3] = nullptr;
  left->counts[2] = left->counts[3] = 0;
  left->n = 1;
  for (int k = parent->n; k > i; --k) {
    parent->elems[k] = parent->elems[k - 1];
    parent->kids[k + 1] = parent->kids[k];
    parent->counts[k + 1] = parent->counts[k];
  }
  parent->elems[i] = middle;
  parent->kids[i + 1] = right;
  parent->counts[i] = left->Total();
  parent->counts[i + 1] = right->Total();
  parent->n++;
}

// Joins kids[i], elems[i] and kids[i + 1] of node into kids[i] (both kids hold one element).
void Merge(Node* node, int i) {
  Node* left = node->kids[i];
  Node* right = node->kids[i + 1];
  const int ln = left->n;
  left->elems[ln] = node->elems[i];
  for (int k = 0; k < right->n; ++k) left->elems[ln + 1 + k] = right->elems[k];
  for (int k = 0; k <= right->n; ++k) {
    left->kids[ln + 1 + k] = right->kids[k];
    left->counts[ln + 1 + k] = right->counts[k];
  }
  left->n = ln + 1 + right->n;
  node->counts[i] = node->counts[i] + 1 + node->counts[i + 1];
  for (int k = i; k + 1 < node->n; ++k) {
    node->elems[k] = node->elems[k + 1];
    node->kids[k + 1] = node->kids[k + 2];
    node->counts[k + 1] = node->counts[k + 2];
  }
  node->n--;
  node->elems[node->n] = nullptr;
  node->kids[node->n + 1] = nullptr;
  node->counts[node->n + 1] = 0;
  delete right;
}

}  // namespace

struct CountedTree {
  Node* root = nullptr;
  TreeCompare compare = nullptr;

  // When the root has emptied after a merge, its only child takes its place.
  void CollapseRoot() {
    if (root && root->n == 0) {
      Node* old = root;
      root = old->kids[0];
      delete old;
    }
  }

  void* DeleteAt(Node* node, uint32_t pos);
};

// node holds at least two elements, or is the root.
void* CountedTree::DeleteAt(Node* node, uint32_t pos) {
  for (;;) {
    if (node->Leaf()) {
      void* e = node->elems[pos];
      for (int k = int(pos); k + 1 < node->n; ++k) node->elems[k] = node->elems[k + 1];
      node->elems[--node->n] = nullptr;
      if (node == root && node->n == 0) {
        delete node;
        root = nullptr;
      }
      return e;
    }
    int i = 0;
    bool atElement = false;
    for (;; ++i) {
      if (pos < node->counts[i]) break;
      pos -= node->counts[i];
      if (pos == 0 && i < node->n) {
        atElement = true;
        break;
      }
      pos -= 1;
    }
    if (atElement) {
      Node* left = node->kids[i];
      Node* right = node->kids[i + 1];
      if (left->n >= 2) {  // replace by the in-order predecessor
        void* e = node->elems[i];
        node->counts[i]--;
        node->elems[i] = DeleteAt(left, node->counts[i]);
        return e;
      }
      if (right->n >= 2) {  // replace by the in-order successor
        void* e = node->elems[i];
        node->counts[i + 1]--;
        node->elems[i] = DeleteAt(right, 0);
        return e;
      }
      pos = node->counts[i];  // the element's place inside the merged child
      Merge(node, i);
    } else {
      Node* kid = node->kids[i];
      if (kid->n == 1) {
        if (i > 0 && node->kids[i - 1]->n >= 2) {
          // Borrow through the parent from the left sibling.
          Node* sib = node->kids[i - 1];
          const int sn = sib->n;
          kid->elems[1] = kid->elems[0];
          kid->kids[2] = kid->kids[1];
          kid->counts[2] = kid->counts[1];
          kid->kids[1] = kid->kids[0];
          kid->counts[1] = kid->counts[0];
          kid->elems[0] = node->elems[i - 1];
          kid->kids[0] = sib->kids[sn];
          kid->counts[0] = sib->counts[sn];
          kid->n = 2;
          node->elems[i - 1] = sib->elems[sn - 1];
          sib->elems[sn - 1] = nullptr;
          sib->kids[sn] = nullptr;
          const uint32_t moved = sib->counts[sn];
          sib->counts[sn] = 0;
          sib->n--;
          node->counts[i - 1] -= moved + 1;
          node->counts[i] += moved + 1;
          pos += moved + 1;
        } else if (i < node->n && node->kids[i + 1]->n >= 2) {
          // Borrow through the parent from the right sibling.
          Node* sib = node->kids[i + 1];
          kid->elems[1] = node->elems[i];
          kid->kids[2] = sib->kids[0];
          kid->counts[2] = sib->counts[0];
          kid->n = 2;
          const uint32_t moved = sib->counts[0];
          node->elems[i] = sib->elems[0];
          for (int k = 0; k + 1 < sib->n; ++k) sib->elems[k] = sib->elems[k + 1];
          for (int k = 0; k < sib->n; ++k) {
            sib->kids[k] = sib->kids[k + 1];
            sib->counts[k] = sib->counts[k + 1];
          }
          sib->n--;
          sib->elems[sib->n] = nullptr;
          sib->kids[sib->n + 1] = nullptr;
          sib->counts[sib->n + 1] = 0;
          node->counts[i] += moved + 1;
          node->counts[i + 1] -= moved + 1;
        } else if (i > 0) {
          pos += node->counts[i - 1] + 1;
          --i;
          Merge(node, i);
        } else {
          Merge(node, i);
        }
      }
    }
    // Descend into kids[i], which now holds at least two elements.
    Node* next = node->kids[i];
    if (node == root && node->n == 0) {
      CollapseRoot();
    } else {
      node->counts[i]--;
    }
    node = next;
  }
}

CountedTree* TreeNew(TreeCompare compare) {
  auto* t = new (std::nothrow) CountedTree;
  if (t) t->compare = compare;
  return t;
}

void TreeFree(CountedTree* tree) {
  if (!tree) return;
  FreeNodes(tree->root);
  delete tree;
}

int32_t TreeCount(CountedTree* tree) {
  return tree && tree->root ? int32_t(tree->root->Total()) : 0;
}

void* TreeAdd(CountedTree* tree, void* element) {
  if (!tree || !tree->compare) return nullptr;
  if (void* found = TreeFind(tree, element, nullptr)) return found;
  if (!tree->root) {
    tree->root = new Node;
    tree->root->elems[0] = element;
    tree->root->n = 1;
    return element;
  }
  if (tree->root->n == 3) {
    Node* top = new Node;
    top->kids[0] = tree->root;
    top->counts[0] = tree->root->Total();
    tree->root = top;
    SplitChild(top, 0);
  }
  Node* node = tree->root;
  for (;;) {
    int i = 0;
    while (i < node->n && tree->compare(element, node->elems[i]) > 0) ++i;
    if (node->Leaf()) {
      for (int k = node->n; k > i; --k) node->elems[k] = node->elems[k - 1];
      node->elems[i] = element;
      node->n++;
      return element;
    }
    if (node->kids[i]->n == 3) {
      SplitChild(node, i);
      if (tree->compare(element, node->elems[i]) > 0) ++i;
    }
    node->counts[i]++;
    node = node->kids[i];
  }
}

void* TreeIndex(CountedTree* tree, int32_t position) {
  if (!tree || position < 0 || position >= TreeCount(tree)) return nullptr;
  uint32_t pos = uint32_t(position);
  Node* node = tree->root;
  for (;;) {
    int i = 0;
    for (;; ++i) {
      if (pos < node->counts[i]) break;
      pos -= node->counts[i];
      if (pos == 0) return node->elems[i];
      pos -= 1;
    }
    node = node->kids[i];
  }
}

void* TreeFindPosition(CountedTree* tree, void* key, TreeCompare compare, int32_t* position) {
  if (!tree) return nullptr;
  if (!compare) compare = tree->compare;
  if (!compare) return nullptr;
  uint32_t before = 0;
  for (Node* node = tree->root; node;) {
    int i = 0;
    for (; i < node->n; ++i) {
      const int c = compare(key, node->elems[i]);
      if (c == 0) {
        if (position) *position = int32_t(before + node->counts[i]);
        return node->elems[i];
      }
      if (c < 0) break;
      before += node->counts[i] + 1;
    }
    node = node->kids[i];
  }
  return nullptr;
}

void* TreeFind(CountedTree* tree, void* key, TreeCompare compare) {
  return TreeFindPosition(tree, key, compare, nullptr);
}

void* TreeDeleteAt(CountedTree* tree, int32_t position) {
  if (!tree || position < 0 || position >= TreeCount(tree)) return nullptr;
  return tree->DeleteAt(tree->root, uint32_t(position));
}

void* TreeDelete(CountedTree* tree, void* element) {
  int32_t pos = 0;
  if (!TreeFindPosition(tree, element, nullptr, &pos)) return nullptr;
  return TreeDeleteAt(tree, pos);
}
