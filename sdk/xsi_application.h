#pragma once
// The application object: logging and the user-interface toolkit's progress bar.

#include "xsi_status.h"
#include "xsi_string.h"

namespace XSI {

enum siSeverityType : LONG {
  siFatalMsg = 1,
  siErrorMsg = 2,
  siWarningMsg = 4,
  siInfoMsg = 8,
  siVerboseMsg = 16,
};

class ProgressBar {
 public:
  CStatus PutMaximum(LONG maximum);
  LONG GetMaximum() const;
  CStatus PutStep(LONG step);
  CStatus PutCaption(const CString& caption);
  CStatus PutStatusText(const CString& text);
  CStatus PutVisible(bool visible);
  bool IsCancelPressed() const;
  LONG GetValue() const;
  // Raises the value by `step` (the bar's step when 0) and returns the new value.
  LONG Increment(LONG step = 1);
};

class UIToolkit {
 public:
  // A fresh progress bar: value 0, maximum 100, step 1, hidden.
  ProgressBar GetProgressBar() const;
};

class Application {
 public:
  CStatus LogMessage(const CString& message, siSeverityType severity = siInfoMsg) const;
  UIToolkit GetUIToolkit() const { return UIToolkit(); }
};

}  // namespace XSI
