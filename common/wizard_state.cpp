#include "common/wizard_state.h"

bool removing = false;
int page = 0;
bool working = false;
bool finished = false;
bool failed = false;
std::wstring failure;
unsigned selectedPort = 8080;
bool selectedChoice = true;
bool firewallAdded = false;
std::wstring firewallNotice;
HWND windowHandle = nullptr;
bool restartToFinish = false;
bool firewallRuleLeft = false;

std::filesystem::path temporaryUninstaller;
std::string firewallLogFailure;
