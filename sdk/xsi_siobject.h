#pragma once
// Base classes of host objects: SIObject (names), ProjectItem (parameters), Parameter.
//
// Every wrapper is built on a CRef. A wrapper built on an invalid reference, or on
// a reference to an object of another class, is itself invalid: its queries
// return empty names, empty values and invalid references, never crash.

#include <cfloat>

#include "xsi_ref.h"
#include "xsi_status.h"
#include "xsi_string.h"
#include "xsi_value.h"

namespace XSI {

class Parameter;

class SIObject {
 public:
  SIObject() = default;
  SIObject(const CRef& ref) : ref_(ref) {}  // NOLINT: host-style implicit
  virtual ~SIObject() = default;

  CString GetName() const;
  CString GetFullName() const;
  CString GetType() const;
  bool IsValid() const { return ref_.IsValid(); }
  const CRef& GetRef() const { return ref_; }
  operator CRef() const { return ref_; }  // NOLINT

 protected:
  CRef ref_;
};

class ProjectItem : public SIObject {
 public:
  using SIObject::SIObject;
  // Value of the named parameter at `time` (a frame number); DBL_MAX means the
  // host's current frame. Empty value when the item has no such parameter.
  CValue GetParameterValue(const CString& name, double time = DBL_MAX) const;
  Parameter GetParameter(const CString& name) const;
};

class Parameter : public ProjectItem {
 public:
  Parameter() = default;
  Parameter(const CRef& ref);  // NOLINT: invalid unless ref is a parameter
  // Value at `time` (a frame number); DBL_MAX means the host's current frame.
  CValue GetValue(double time = DBL_MAX) const;
};

}  // namespace XSI
