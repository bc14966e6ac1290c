#pragma once
// Operators, their port groups and ports, and the update context handed to an
// operator's callbacks.

#include <cfloat>

#include "xsi_ref.h"
#include "xsi_siobject.h"
#include "xsi_status.h"
#include "xsi_string.h"
#include "xsi_value.h"

namespace XSI {

enum siPortType : LONG { siPortInput = 0, siPortOutput = 1 };

class Operator : public ProjectItem {
 public:
  Operator() = default;
  Operator(const CRef& ref);  // NOLINT: invalid unless ref is an operator

  // Port by port name, group name and group instance; invalid when absent.
  CRef GetPort(const CString& portName, const CString& groupName = CString(), LONG instance = 0) const;
  // Port by its index within its group, the group index and the instance index.
  CRef GetPortAt(LONG portIndex, LONG groupIndex, LONG instanceIndex) const;
  CRefArray GetPortGroups() const;
  LONG GetNumPortGroups() const;
  LONG GetNumPortsInGroup(LONG groupIndex) const;
  LONG GetNumInstancesInGroup(LONG groupIndex) const;
};

class PortGroup : public SIObject {
 public:
  PortGroup() = default;
  PortGroup(const CRef& ref);  // NOLINT
  LONG GetIndex() const;
};

class Port : public ProjectItem {
 public:
  Port() = default;
  Port(const CRef& ref);  // NOLINT
  siPortType GetPortType() const;
};

class InputPort : public Port {
 public:
  using Port::Port;
  // Reference to the connected object, as a CValue; empty when unconnected.
  CValue GetValue() const;
};

class OutputPort : public Port {
 public:
  using Port::Port;
  // Reference to the object this output writes into, as a CValue.
  CValue GetValue() const;
  // Stores a value on the port (what the host propagates downstream).
  CStatus PutValue(const CValue& value);
};

class UpdateContext {
 public:
  UpdateContext() = default;
  explicit UpdateContext(const CRef& op) : op_(op) {}

  Operator GetOperator() const { return Operator(op_); }
  // The host's current frame.
  double GetCurrentFrame() const;
  // Per-operator user data; lives with the operator between callbacks.
  CStatus PutUserData(const CValue& value);
  CValue GetUserData() const;

 private:
  CRef op_;
};

}  // namespace XSI
