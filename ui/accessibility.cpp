#include "ui/accessibility.h"

#include <windows.h>
#include <initguid.h> // the GUIDs that oleacc.h declares are defined here
#include <oleacc.h>

#include "common/wizard_state.h"
#include "ui/texts.h"
#include "ui/window.h"

namespace {

// UI Automation's LiveSetting, which oleacc.h does not name: {C12BCD8E-2A8E-4950-8AE7-3625111D58EB}.
constexpr GUID LIVE_SETTING{0xC12BCD8E, 0x2A8E, 0x4950, {0x8A, 0xE7, 0x36, 0x25, 0x11, 0x1D, 0x58, 0xEB}};
constexpr LONG POLITE = 1; // read once the reader has finished what it is saying, without cutting it off

// Kept for the window's life, to take the descriptions back at its end. A plain pointer: nothing
// may release it after the window thread has left COM.
IAccPropServices* annotations = nullptr;

void announce(HWND control)
{
    if (IsWindowVisible(windowHandle))
        NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, control, OBJID_CLIENT, CHILDID_SELF);
}

} // namespace

void describeControls()
{
    if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                reinterpret_cast<void**>(&annotations)))) {
        annotations = nullptr;
        return;
    }
    // A failed description leaves that control as its standard accessible object has it.
    VARIANT polite{};
    V_VT(&polite) = VT_I4;
    V_I4(&polite) = POLITE;
    annotations->SetHwndProp(titleLabel, OBJID_CLIENT, CHILDID_SELF, LIVE_SETTING, polite);
    annotations->SetHwndProp(bodyLabel, OBJID_CLIENT, CHILDID_SELF, LIVE_SETTING, polite);
    // The port field would take its name from the label before it among the siblings; stated, it
    // stays "HTTP port:" whatever the order. Before the progress bar lies the hidden check box.
    annotations->SetHwndPropStr(portEdit, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME, texts::PORT_LABEL);
    annotations->SetHwndPropStr(progressBar, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME,
                                removing ? texts::WORKING_UNINSTALL_TITLE : texts::WORKING_SETUP_TITLE);
}

void forgetDescriptions()
{
    if (annotations == nullptr)
        return;
    // Descriptions live in the controls' window properties, which must go before the windows do.
    const MSAAPROPID described[] = {LIVE_SETTING, PROPID_ACC_NAME};
    for (HWND control : {titleLabel, bodyLabel, portEdit, progressBar})
        annotations->ClearHwndProps(control, OBJID_CLIENT, CHILDID_SELF, described, 2);
    annotations->Release();
    annotations = nullptr;
}

void announcePage()
{
    announce(titleLabel);
    announce(bodyLabel);
}

void announceStatus()
{
    announce(bodyLabel);
}
