#pragma once

#include <winsock2.h>

// The service hands the server two inherited events in this environment variable, as their handle
// values in decimal: the one it sets to stop the server, and the one the server sets once it listens.
inline constexpr wchar_t SERVER_EVENTS_VARIABLE[] = L"QM_SAMPLE_CONSOLE_EVENTS";

// How the server tells the service that it could not take its port; the service reports it as its
// own CANNOT_LISTEN.
inline constexpr int SERVER_CANNOT_LISTEN = 10;

// The console's HTTP listener. Each connection gets a thread of its own, up to a small limit;
// every wait is cut into short slices that look at the stop event, so that a stop never waits
// for a slow or silent client.

// A socket listening on 0.0.0.0:port, or INVALID_SOCKET with the Winsock error left in
// WSAGetLastError.
SOCKET openListener(unsigned port);

// Accepts and answers connections until stopEvent is set, then waits for every connection
// thread to end. Returns 0, or the Winsock error that made it give up listening.
int serve(SOCKET listener, HANDLE stopEvent);
