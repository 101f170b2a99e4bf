#pragma once

// The console's Windows service, "QuellmarkConsole": the service program at the application
// folder's root, started automatically under LocalService, restarted by Windows after a failure.

// Registers the service (stopped). A half-configured service is deleted again before the
// failure passes on, so a failed call leaves nothing registered.
void createService();

// Whether the service is registered. Raises when the service manager cannot tell.
bool existsService();

// Stops the service if it runs, waits about 30 seconds for it to stop and its process to end,
// and deletes it. Does nothing when it is not registered. Raises before deleting anything if it
// will not stop.
void stopDeleteService();
