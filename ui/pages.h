#pragma once

#include <string>

// Makes the window show the page that the wizard state calls for: title, body, button captions,
// which optional controls show and which buttons are enabled. Reads the state, never changes it.
void render();

// The body of the final page, for the work's end as the wizard state records it: what was
// installed or removed, or the failure text.
std::wstring finalPageText();
