// Carries the error object a failed call leaves on the answering thread back
// to the calling thread in another apartment or process, where GetErrorInfo
// finds it. Windows' channel does this itself; Wine 8's does not, so under
// Wine both sides of a cross-process call register this channel hook once
// per process: the storage server and every program that calls it.
#pragma once

#include "common/Wine.h"

#include <windows.h>

#include <string>

namespace cfx {

// Leaves the calling thread's error object, as a server's method does before
// it returns a failure of interface iid.
void setErrorObject(REFIID iid, const wchar_t* source, const std::wstring& description) noexcept;

// Registers the hook unconditionally (tests that run both sides in process).
HRESULT registerErrorObjectHook();

// Registers the hook under Wine only; S_FALSE on Windows.
HRESULT carryErrorObjectsUnderWine();

} // namespace cfx
