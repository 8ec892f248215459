// About: the project page, opened in the user's browser.
#include "app/about.h"

#include "app/com.h"
#include "app/state.h"
#include "settings/admin.h"

#include <exdisp.h>
#include <shlobj.h>
#include <shlguid.h>
#include <shldisp.h>

#include <thread>

bool (*OpenAsDesktopUser)(const wchar_t *page) = OpenThroughDesktopShell;
bool (*OpenHere)(const wchar_t *page) = OpenWithShellExecute;

// Set when building; About opens it.
const wchar_t ProjectPage[] = L"" QUINDLE_PROJECT_PAGE;

void ShowAbout()
{
    StartPageOpener(IsRunningAsAdmin());
}

// Starting a browser can take seconds: never on this thread, which is the hook's, so
// that no mouse event waits for it and Windows never drops the hook over it. Nothing may
// be thrown from here: the caller runs inside a window procedure.
bool StartPageOpener(bool elevated)
{
    try
    {
        std::thread(OpenProjectPage, elevated).detach();
        return true;
    }
    catch (...) // no thread: About does nothing, as when no browser opens
    {
        return false;
    }
}

// A browser started by an elevated process would run every web page with administrator
// rights, and some refuse to start so: the desktop's shell starts it as the signed-in
// user instead. Where it cannot, or unelevated, the page opens from here.
void OpenProjectPage(bool elevated)
{
    // The shell may hand the address to extensions that need COM on this thread.
    HRESULT com = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (!elevated || !OpenAsDesktopUser(ProjectPage))
        OpenHere(ProjectPage);
    if (SUCCEEDED(com))
        CoUninitialize();
}

bool OpenWithShellExecute(const wchar_t *page)
{
    return reinterpret_cast<INT_PTR>(ShellExecuteW(NULL, L"open", page, NULL, NULL, SW_SHOW)) > 32;
}

// Asks the desktop window's shell, which runs as the signed-in user, to open the page:
// the desktop's view, its folder view's Application object, and that object's
// ShellExecute.
bool OpenThroughDesktopShell(const wchar_t *page)
{
    IShellWindows *windowsObject = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, NULL, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                reinterpret_cast<void **>(&windowsObject))))
        return false;
    ComHolder<IShellWindows> windows(windowsObject);

    VARIANT none{};
    VariantInit(&none);
    long window = 0;
    IDispatch *desktopObject = nullptr;
    if (windows->FindWindowSW(&none, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, &desktopObject) !=
            S_OK ||
        desktopObject == nullptr)
        return false;
    ComHolder<IDispatch> desktop(desktopObject);

    IServiceProvider *servicesObject = nullptr;
    if (FAILED(desktop->QueryInterface(IID_IServiceProvider, reinterpret_cast<void **>(&servicesObject))))
        return false;
    ComHolder<IServiceProvider> services(servicesObject);

    IShellBrowser *browserObject = nullptr;
    if (FAILED(services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                      reinterpret_cast<void **>(&browserObject))))
        return false;
    ComHolder<IShellBrowser> browser(browserObject);

    IShellView *viewObject = nullptr;
    if (FAILED(browser->QueryActiveShellView(&viewObject)))
        return false;
    ComHolder<IShellView> view(viewObject);

    IShellFolderViewDual *folderViewObject = nullptr;
    if (FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IShellFolderViewDual,
                                   reinterpret_cast<void **>(&folderViewObject))))
        return false;
    ComHolder<IShellFolderViewDual> folderView(folderViewObject);

    IDispatch *applicationObject = nullptr;
    if (FAILED(folderView->get_Application(&applicationObject)) || applicationObject == nullptr)
        return false;
    ComHolder<IDispatch> application(applicationObject);

    IShellDispatch2 *shellObject = nullptr;
    if (FAILED(application->QueryInterface(IID_IShellDispatch2, reinterpret_cast<void **>(&shellObject))))
        return false;
    ComHolder<IShellDispatch2> shell(shellObject);

    BSTR file = SysAllocString(page);
    VARIANT operation{}, show{};
    operation.vt = VT_BSTR;
    operation.bstrVal = SysAllocString(L"open");
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    bool opened = file != nullptr && operation.bstrVal != nullptr &&
                  SUCCEEDED(shell->ShellExecute(file, none, none, operation, show));
    SysFreeString(file);
    VariantClear(&operation);
    return opened;
}
