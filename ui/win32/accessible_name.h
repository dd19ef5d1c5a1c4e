#pragma once
// A control's name for screen readers, other than its visible text: the
// "..." button is read out as the label beside it says, "Set Path".

#include <windows.h>

#include <string>

namespace quelmar {

// From now on screen readers (MSAA, and UI Automation through it) read
// `control` as `name`; everything else they learn of it stays the
// system's own. Windows' own way (IAccPropServices::SetHwndPropStr) is
// missing from Wine, so the control answers WM_GETOBJECT itself with the
// system's accessible object, renamed. False when the control cannot be
// subclassed.
bool setAccessibleName(HWND control, std::wstring name);

}  // namespace quelmar
