#pragma once

// One probe of the installed console: GET /api/v1/health on 127.0.0.1:port, directly (no proxy),
// with 1 s time-outs. True only for status 200 with a body that names the console product and
// its expected version. Never raises for a missing or wrong answer.
bool health(unsigned port);

// Probes up to 30 times, pausing a second after each unsuccessful probe, and raises
// "Console did not become healthy..." when the console never answered correctly.
void waitHealthy(unsigned port);
