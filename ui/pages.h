#pragma once

// Makes the window show the page that the wizard state calls for: title, body, button captions,
// which optional controls show and which buttons are enabled. Reads the state, never changes it.
void render();
