#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

// Owns one COM string for the length of a scope. Allocation failure raises std::bad_alloc.
class FirewallString {
public:
    explicit FirewallString(const std::wstring& text);
    ~FirewallString();
    FirewallString(const FirewallString&) = delete;
    FirewallString& operator=(const FirewallString&) = delete;

    BSTR get() const { return value; }

private:
    BSTR value;
};

// Adds (add = true) the console's inbound TCP rule for port on private and domain networks,
// naming the bundled interpreter as its program, or removes the rule by its name (the port is
// then not used). COM is initialised and uninitialised around the call on the calling thread.
void firewall(bool add, unsigned port);

// Removes the rule as firewall(false, port) does, except where Windows Firewall cannot be reached
// because its service is not running: then the rule stays, and the failure's text comes back
// instead of being raised. Empty when the rule is gone; every other failure is raised.
std::string removeFirewallRule();

// After the rule has been added: why it cannot let other devices in at the moment, as one
// sentence for the user, or nothing when it can or Windows cannot tell. Never raises; the
// installation succeeds either way.
std::string firewallRuleHindrance();
