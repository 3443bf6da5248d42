// Module-wide state: the library's instance handle, the lock count that
// decides unloading, and the presence mutex that tells other programs the
// library is loaded somewhere.
#pragma once

#include "idl/cfxview_classes.h"

#include <windows.h>

namespace cfx::module {

// Process attach and detach; attach raises when the presence mutex cannot be made.
void attach(HINSTANCE instance);
void detach() noexcept;

HINSTANCE instance() noexcept;

// Every live object, class factory and outstanding LockServer holds one unit.
void lock() noexcept;
void unlock() noexcept;
LONG lockCount() noexcept;

} // namespace cfx::module
