// window_access.cpp - the window for a screen reader (see window_access.h).
//
// The names are Dynamic Annotation's (IAccPropServices::SetHwndPropStr, PROPID_ACC_NAME), which
// both MSAA and UI Automation's proxies read. The announcement is a UI Automation notification
// (UiaRaiseNotificationEvent, Windows 10 1709 and later) raised on the list: uiautomationcore.dll
// is loaded from System32 by name, not imported, and where it or the function is missing nothing is
// announced and nothing else changes.
#include "window_access.h"

#include <windows.h>
#include <oleacc.h>

#include <string>

namespace {

// oleacc.h's GUIDs, here so that oleacc.dll is not imported (COM loads it from where it is registered).
const GUID ACC_PROP_SERVICES = {0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
const GUID ACC_PROP_SERVICES_INTERFACE = {0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
const GUID ACC_NAME = {0x608d3df8, 0x8128, 0x4aa7, {0xa4, 0x28, 0xf5, 0x5e, 0x49, 0x26, 0x72, 0x91}};

const int ANNOUNCED_A_FRAME = 3;  // lines read out one by one; more are told as a count

typedef HRESULT(WINAPI *host_provider_t)(HWND, IUnknown **);
typedef HRESULT(WINAPI *notify_t)(IUnknown *, int, int, BSTR, BSTR);
host_provider_t host_provider = nullptr;
notify_t notify = nullptr;

bool load_automation()
{
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (HMODULE uia = LoadLibraryExW(L"uiautomationcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
            host_provider = reinterpret_cast<host_provider_t>(reinterpret_cast<void *>(GetProcAddress(uia, "UiaHostProviderFromHwnd")));
            notify = reinterpret_cast<notify_t>(reinterpret_cast<void *>(GetProcAddress(uia, "UiaRaiseNotificationEvent")));
        }
    }
    return host_provider != nullptr && notify != nullptr;
}

void say(IUnknown *provider, const std::wstring &text)
{
    const int ITEM_ADDED = 0;       // NotificationKind_ItemAdded
    const int ALL_IN_ORDER = 2;     // NotificationProcessing_All
    BSTR said = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    BSTR activity = SysAllocString(L"ChatLine");
    if (said != nullptr && activity != nullptr)
        notify(provider, ITEM_ADDED, ALL_IN_ORDER, said, activity);
    SysFreeString(said);
    SysFreeString(activity);
}

}  // namespace

void name_controls(HWND list, HWND input)
{
    IAccPropServices *props = nullptr;
    if (FAILED(CoCreateInstance(ACC_PROP_SERVICES, nullptr, CLSCTX_INPROC_SERVER, ACC_PROP_SERVICES_INTERFACE,
                                reinterpret_cast<void **>(&props))))
        return;
    // The names' text is copied; the interface only declares it writable.
    wchar_t list_name[] = L"Conversation", input_name[] = L"Message to send";
    props->SetHwndPropStr(list, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, ACC_NAME, list_name);
    props->SetHwndPropStr(input, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, ACC_NAME, input_name);
    props->Release();
}

void announce(HWND list, const std::vector<shown_line> &lines)
{
    if (GetForegroundWindow() != GetAncestor(list, GA_ROOT) || !load_automation())
        return;
    std::vector<const shown_line *> said;
    for (const shown_line &l : lines)
        if (l.kind == shown_line::CHAT)
            said.push_back(&l);
    if (said.empty())
        return;
    IUnknown *provider = nullptr;
    if (FAILED(host_provider(list, &provider)) || provider == nullptr)
        return;
    std::size_t from = 0;
    if (said.size() > ANNOUNCED_A_FRAME) {
        from = said.size() - ANNOUNCED_A_FRAME;
        say(provider, std::to_wstring(from) + L" more lines");
    }
    for (std::size_t i = from; i < said.size(); ++i)
        say(provider, said[i]->name + said[i]->text);
    provider->Release();
}
