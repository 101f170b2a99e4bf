#pragma once

#include <string>

#include "common/product.h"

// The console's Windows service, "QuellmarkConsole": the service program at the application
// folder's root, started automatically under LocalService with an identity of its own
// ("NT SERVICE\QuellmarkConsole"), restarted by Windows after a failure.

// Registers the service (stopped). A half-configured service is deleted again before the
// failure passes on, so a failed call leaves nothing registered.
void createService();

// Deleting a service only marks it: it goes once the last handle to it is closed, and until then
// it can be neither used nor registered again. The Services console, or any program that shows
// services, holds such handles for as long as it runs.
enum class ServiceRegistration { absent, registered, markedForDeletion };

// Whether the service is registered, and if so whether it is only waiting to go. Raises when the
// service manager cannot tell.
ServiceRegistration serviceRegistration();

// Stops the service if it runs, waits about 30 seconds for it to stop and its process to end,
// and deletes it. Does nothing when it is not registered; one already marked for deletion counts
// as deleted. Raises before deleting anything if it will not stop. Returns whether the service is
// gone: false when another program still holds it open, so that only a restart, or that program
// letting go, removes it.
bool stopDeleteService();

// The security identifier of the service's own identity, "NT SERVICE\QuellmarkConsole", in its
// string form. Windows derives it from the service's name alone, so it is known before the service
// is registered, when Windows cannot yet look the name up.
std::wstring serviceSid(const std::wstring& service = SERVICE_NAME);
