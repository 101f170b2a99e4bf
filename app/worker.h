#pragma once

// Runs the install or the uninstall sequence with the choices the user made, reports progress
// and the end to windowHandle, and returns. Raises nothing and shows nothing itself.
void workerBody();
