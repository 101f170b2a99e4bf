#pragma once

// How the user chose to go on when the firewall rule could not be added during an installation.
enum class FirewallAnswer {
    TryAgain, // add the rule again
    Continue, // finish the installation without the rule
    Cancel,   // cancel the installation (also Escape, the close box, or no box at all)
};
