// fake_storage_server.exe as the storage server of a test program: its
// registration as the server class's local server in the test's own prefix,
// and the server processes it leaves running.
//
// COM starts the program on the first CoGetClassObject for the class; under
// Wine that costs about a second, so a suite that needs the server holds one
// root object for its whole run. The program exits once its last object has
// been released.
#pragma once

#include <windows.h>

#include <vector>

namespace cfx::test {

inline constexpr wchar_t kFakeServerProgram[] = L"fake_storage_server.exe";

// How long a test gives a server to exit after its last object went. It
// exits at once; on a loaded machine Wine has taken over ten seconds to let
// the process go.
inline constexpr DWORD kServerExitMs = 30000;

// Writes the class's LocalServer32 (the program beside the test program) for
// the current user, where Windows looks first, and for the machine, the only
// place Wine 8 reads. ERROR_SUCCESS, or the first failure.
[[nodiscard]] LSTATUS registerFakeStorageServer();

// Removes the class's registration from both places; a registration that is
// not there is no failure.
[[nodiscard]] LSTATUS unregisterFakeStorageServer();

// The ids of the processes of a program (a file name) running now.
std::vector<DWORD> serverProcesses(const wchar_t* program);

// True once no process of the program runs any more; false when one still
// runs after the timeout.
bool waitForServersToExit(const wchar_t* program, DWORD timeoutMs);

} // namespace cfx::test
