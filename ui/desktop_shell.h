#pragma once

#include <string>

// Opens address (a web address, or anything the shell's "open" verb takes) as the signed-in user
// would: the desktop's own shell, which runs unelevated in the user's session, opens it, so a
// browser that starts for it does not inherit this elevated process's administrator token.
// Where no desktop shell answers (Server Core, a shell that has ended) or any step fails, nothing
// opens and nothing is reported. COM must be initialised single-threaded on the calling thread.
void openAsSignedInUser(const std::wstring& address);
