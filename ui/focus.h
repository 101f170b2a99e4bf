#pragma once

// Where the keyboard acts in the wizard window. A plain window, unlike a dialog box, keeps no
// focus on its controls by itself: the default procedure puts it on the window when activated.

// Puts the focus where the page that render() has just drawn is used from the keyboard: on Next,
// or on the progress bar while the work runs and no control takes input.
void placeFocus();

// Another window takes the activation: remembers the control that had the focus.
void saveFocus();

// The window is active again: the focus returns to the remembered control, or to the page's
// place when that control can no longer take it.
void restoreFocus();
