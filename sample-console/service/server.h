#pragma once

#include <winsock2.h>

// The console's HTTP listener. Each connection gets a thread of its own, up to a small limit;
// every wait is cut into short slices that look at the stop event, so that a stop never waits
// for a slow or silent client.

// A socket listening on 0.0.0.0:port, or INVALID_SOCKET with the Winsock error left in
// WSAGetLastError.
SOCKET openListener(unsigned port);

// Accepts and answers connections until stopEvent is set, then waits for every connection
// thread to end. Returns 0, or the Winsock error that made it give up listening.
int serve(SOCKET listener, HANDLE stopEvent);
