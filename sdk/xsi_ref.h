#pragma once
// References to host objects: a CRef names one object (or one face or node of a
// mesh) without owning it; CRefArray is an ordered list of them.

#include <vector>

#include "xsi_status.h"
#include "xsi_string.h"

namespace XSI {

namespace Host {
struct Node;
}

class CRef {
 public:
  CRef() = default;

  // Resolves an object, parameter or port by its full name in the current scene.
  // Returns CStatus::Fail and leaves the reference invalid when nothing has that name.
  CStatus Set(const CString& fullName);
  bool IsValid() const { return node_ != nullptr; }
  // Full name of the referenced object (empty for an invalid reference).
  CString GetAsText() const;

  bool operator==(const CRef& other) const {
    return node_ == other.node_ && sub0_ == other.sub0_ && sub1_ == other.sub1_;
  }
  bool operator!=(const CRef& other) const { return !(*this == other); }

  // Stand-in internals: the host node and, for mesh faces and nodes, the
  // polygon and node indices.
  static CRef FromNode(Host::Node* node, LONG sub0 = -1, LONG sub1 = -1) {
    CRef ref;
    ref.node_ = node;
    ref.sub0_ = sub0;
    ref.sub1_ = sub1;
    return ref;
  }
  Host::Node* GetNode() const { return node_; }
  LONG GetSub0() const { return sub0_; }
  LONG GetSub1() const { return sub1_; }

 private:
  Host::Node* node_ = nullptr;
  LONG sub0_ = -1;
  LONG sub1_ = -1;
};

class CRefArray {
 public:
  CRefArray() = default;
  LONG GetCount() const { return static_cast<LONG>(refs_.size()); }
  const CRef& operator[](LONG index) const { return refs_[static_cast<size_t>(index)]; }
  void Add(const CRef& ref) { refs_.push_back(ref); }
  // Stand-in extension: capacity hint, no effect on the contents.
  void Reserve(size_t count) { refs_.reserve(count); }
  // The first item whose object name (not full name) equals `name`; invalid if none.
  CRef GetItem(const CString& name) const;
  CRef GetItem(LONG index) const { return index >= 0 && index < GetCount() ? (*this)[index] : CRef(); }

 private:
  std::vector<CRef> refs_;
};

}  // namespace XSI
