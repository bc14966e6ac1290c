#include "base/clock.h"

#include "xsi_application.h"
#include "xsi_value.h"

void LogTiming(const wchar_t* label, int32_t milliseconds) {
  const XSI::CString elapsed = XSI::CValue(static_cast<XSI::LONG>(milliseconds)).GetAsText();
  XSI::Application().LogMessage(label + elapsed + L" msec.", XSI::siInfoMsg);
}
