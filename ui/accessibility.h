#pragma once

// What screen readers learn from the wizard beyond what the standard controls tell them. A plain
// window, unlike a dialog box, has its texts read by nobody when it opens or when they change,
// and the focus stays on Next from page to page: the title and body say each change themselves.

// Describes the controls to assistive technology once they exist: the title and body as live
// regions, read out when they change, and names for the port field and the progress bar, which
// have no label of their own before them. Best effort: without the service the controls keep
// what their standard accessible objects say.
void describeControls();

// Takes the descriptions back before the window goes.
void forgetDescriptions();

// A new page, or the outcome: its title and body are read out. Nothing is said for a window that
// is not shown yet.
void announcePage();

// A new status text in the body.
void announceStatus();
